// Reads N7:0 .. N7:(count-1) from a PCCC controller with the npm nodepccc client, again and
// again, and prints the mean time of one full read in milliseconds ("nodepccc <ms>").
// Usage: node nodepccc_read.js <port> <count> <reads>
'use strict';
const NodePCCC = require('nodepccc');

const [port, count, reads] = process.argv.slice(2).map(Number);
const conn = new NodePCCC({silent: true});
const items = Array.from({length: count}, (_, i) => 'N7:' + i);

function fail(why) {
    console.error('nodepccc: ' + why);
    process.exit(1);
}

conn.initiateConnection({port, host: '127.0.0.1'}, (err) => {
    if (typeof err !== 'undefined' && err) {
        fail('no connection: ' + err);
    }
    conn.setTranslationCB((tag) => tag);
    conn.addItems(items);
    let done = 0;
    let started = 0n;
    const next = () => conn.readAllItems((bad) => {
        if (bad) {
            fail('read failed');
        }
        // The first read sets the client's blocks up; it is not timed.
        if (done === 0) {
            started = process.hrtime.bigint();
        }
        if (++done > reads) {
            const ms = Number(process.hrtime.bigint() - started) / 1e6 / reads;
            console.log('nodepccc ' + ms.toFixed(4));
            conn.dropConnection(() => process.exit(0));
            return;
        }
        next();
    });
    next();
});
