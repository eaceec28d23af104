// Decodes Sparkplug B payload files with npm sparkplug-payload (Eclipse Tahu's decoder), an
// implementation independent of the link's, and prints them as one JSON array:
//   node decode_payloads.js FILE...  ->  [{"seq": 0, "metrics": [{"name", "alias", "type",
//   "value", "historical"}]}, ...]
// 64-bit integers are printed as numbers; byte values as "0x" + upper-case hexadecimal.
'use strict';
const fs = require('fs');
const sparkplug = require('sparkplug-payload').get('spBv1.0');

function plain(value) {
    if (value === null || value === undefined) return null;
    if (typeof value === 'object' && 'low' in value && 'high' in value) return Number(value.toString());
    if (value instanceof Uint8Array) return '0x' + Buffer.from(value).toString('hex').toUpperCase();
    return value;
}

const decoded = process.argv.slice(2).map((file) => {
    const payload = sparkplug.decodePayload(fs.readFileSync(file));
    return {
        seq: plain(payload.seq),
        timestamp: plain(payload.timestamp),
        metrics: (payload.metrics || []).map((m) => ({
            name: m.name === undefined ? null : m.name,
            alias: plain(m.alias),
            type: m.type === undefined ? null : m.type,
            value: plain(m.value),
            historical: m.isHistorical === true,
        })),
    };
});
process.stdout.write(JSON.stringify(decoded) + '\n');
