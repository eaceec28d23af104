// Decodes Sparkplug B payload files with npm sparkplug-payload (Eclipse Tahu's decoder), an
// implementation independent of the link's, and prints them as one JSON array of
// {seq, metrics: [{name, alias, type, value}]}; 64-bit integers as numbers.
'use strict';
const fs = require('fs');
const sparkplug = require('sparkplug-payload').get('spBv1.0');

const plain = (v) => (v !== null && typeof v === 'object' && 'low' in v ? Number(v.toString()) : v ?? null);
const decoded = process.argv.slice(2).map((file) => {
  const payload = sparkplug.decodePayload(fs.readFileSync(file));
  return {
    seq: plain(payload.seq),
    metrics: (payload.metrics || []).map((m) => ({
      name: m.name ?? null, alias: plain(m.alias), type: m.type ?? null, value: plain(m.value),
    })),
  };
});
process.stdout.write(JSON.stringify(decoded) + '\n');
