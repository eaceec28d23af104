// plcsim checked by st-ethernet-ip, an EtherNet/IP client library written elsewhere: a
// connected session reads and writes single tags of the elementary types the library knows
// (it has no UDINT, ULINT or LREAL, and writes no UINT), bits of a DINT and of a BOOL array
// with Read-Modify-Write, a running TIMER and a user structure decoded through the library's
// own template reading (compared with the objects the link publishes for them), then a TagGroup
// of 1000 DINT tags.
// Usage: node st_ethernet_ip.test.js --plcsim PATH --tagbridge PATH
'use strict';

const fs = require('fs');
const os = require('os');
const path = require('path');
const { startPlcsim, startTagbridge, stopAll } = require('../browser/processes');

const GROUP_SIZE = 1000;
// Bits of the BOOL[64] Flags: element k is bit k % 32 of word k / 32 on the wire.
const FLAG_BITS = Array.from({ length: 64 }, (_, k) => k % 3 === 0);

function argument(name) {
  const at = process.argv.indexOf(name);
  return at > 0 ? process.argv[at + 1] : undefined;
}

function check(condition, what) {
  if (!condition) {
    throw new Error(what);
  }
}

async function readGroup(controller, TagGroup, names) {
  const group = new TagGroup();
  const tags = names.map((name) => controller.newTag(name));
  tags.forEach((tag) => group.add(tag));
  await controller.readTagGroup(group);
  return { group, tags };
}

async function read(controller, tag) {
  await controller.readTag(tag);
  return tag.value;
}

// Reads a new tag, writes it (the library learns its type from the read), and reads it back
// with another new one: [before, after].
async function readWriteRead(controller, make, value) {
  const tag = make();
  const before = await read(controller, tag);
  await controller.writeTag(tag, value);
  return JSON.stringify([before, await read(controller, make())]);
}

async function elementaryTypesAndBits(controller, Tag) {
  const named = (name) => () => controller.newTag(name);
  const flags = () => controller.newTag('Flags', null, true, 1, 2);  // its two words, as bits
  const expect = (got, wanted, what) => check(got === JSON.stringify(wanted), what + ' ' + got);
  expect(await readWriteRead(controller, named('Small'), 7), [-5, 7], 'Small');  // one byte
  expect(await readWriteRead(controller, named('Octet'), 255), [200, 255], 'Octet');
  check(await read(controller, controller.newTag('Port')) === 65535, 'Port read');
  check(await read(controller, controller.newTag('Stamp')) === -123456789012n, 'Stamp read');
  expect(JSON.stringify(await read(controller, flags())), FLAG_BITS, 'Flags');
  // Bits written with Read-Modify-Write: element 37 of Flags, bit 5 of Status (33: bits 0, 5).
  const bit37 = () => new Tag('Flags[37]', null, 0xd3);
  expect(await readWriteRead(controller, bit37, true), [false, true], 'Flags[37]');
  const after = FLAG_BITS.map((bit, k) => bit || k === 37);
  expect(JSON.stringify(await read(controller, flags())), after, 'Flags after');
  expect(await readWriteRead(controller, named('Status.5'), false), [true, false], 'Status.5');
  check(await read(controller, controller.newTag('Status')) === 1, 'Status after its bit 5');
}

// JSON text with every object's keys in order: the link's objects list members by name.
const canonical = (value) => JSON.stringify(value, (key, v) => (v && typeof v === 'object' &&
  !Array.isArray(v) ? Object.fromEntries(Object.entries(v).sort()) : v));

// The link's values of tags polled from plcsim, by name, once each has one: tagbridge runs with
// the PLC added and the tags polled through its JSON API.
async function linkValues(program, plcPort, names) {
  const dataDir = fs.mkdtempSync(path.join(os.tmpdir(), 'interop-link-'));
  const link = await startTagbridge(program, dataDir, [], (text) => console.log(text));
  const invoke = async (nodePath, params) => {
    const response = await fetch(`${link.url}api/invoke?path=${encodeURIComponent(nodePath)}`, {
      method: 'POST', body: JSON.stringify(params), headers: { 'Content-Type': 'application/json' },
    });
    const text = await response.text();
    check(response.status === 200 && text.includes('success!'), nodePath + ': ' + text);
  };
  await invoke('/addplc', { 'Alias': 'plc', 'Host': '127.0.0.1', 'Port': plcPort,
                            'Protocol Family': 'CIP/EIP' });
  const tags = names.map((name) => ({ 'Tag Alias': name, 'Tag Name': name, 'RW Flag': 'R' }));
  await invoke('/plc/EM Tags/Add Tags', { 'Tags(json)': JSON.stringify(tags) });
  await invoke('/plc/EM Tags/Start Polling', { 'Interval(ms)': 50 });
  const list = encodeURIComponent('/plc/EM Tags/Read Tags List');
  for (let tries = 0; tries < 300; ++tries) {
    const node = await (await fetch(`${link.url}api/node?path=${list}`)).json();
    const values = Object.fromEntries((node.childNodes || []).map((c) => [c.name, c.value]));
    if (names.every((name) => values[name] !== null && typeof values[name] === 'object')) {
      fs.rmSync(dataDir, { recursive: true, force: true });
      return values;
    }
    await new Promise((resolve) => setTimeout(resolve, 100));
  }
  throw new Error('the link published no object for ' + names.join(', '));
}

// The library lists the tags, reads each structure's template (nested ones too) and decodes a
// whole-structure read into an object. Its BOOL decoding reads one byte, so the TIMER's bits
// (29..31 of its status DINT) are read as members instead. The link decodes the same reads
// through the same templates: its objects agree with the library's (the running ACC aside).
async function structures(controller, linkTimer, linkRecipe) {
  await controller.getControllerTagList(controller.state.tagList);
  const timer = await read(controller, controller.newTag('Timer1'));
  check(timer.PRE === 600000 && timer.ACC >= 0, 'Timer1 ' + JSON.stringify(timer));
  await new Promise((resolve) => setTimeout(resolve, 20));
  const acc = await read(controller, controller.newTag('Timer1.ACC'));
  check(acc > timer.ACC, 'Timer1.ACC runs ' + acc);
  check(await read(controller, controller.newTag('Timer1.EN')) === true, 'Timer1.EN');
  check(await read(controller, controller.newTag('Timer1.DN')) === false, 'Timer1.DN');
  const recipe = await read(controller, controller.newTag('Recipe1'));
  const wanted = { Ready: false, Done: true, Temp: 1.5, Steps: [7, 8],
                   Limits: { Low: -1, High: 9 }, Label: 'batch 4' };
  for (const [name, value] of Object.entries(wanted)) {
    check(JSON.stringify(recipe[name]) === JSON.stringify(value),
          'Recipe1.' + name + ' ' + JSON.stringify(recipe));
    check(canonical(linkRecipe[name]) === canonical(recipe[name]),
          'the link\'s Recipe1.' + name + ' ' + JSON.stringify(linkRecipe));
  }
  check(linkTimer.PRE === timer.PRE && linkTimer.EN === true && linkTimer.DN === false &&
        linkTimer.ACC > 0, 'the link\'s Timer1 ' + JSON.stringify(linkTimer));
}

async function main() {
  const program = argument('--plcsim');
  const tags = [
    { name: 'Count', type: 'DINT', value: 5 },
    { name: 'Level', type: 'REAL', value: 1.5 },
    { name: 'Small', type: 'SINT', value: -5 },
    { name: 'Octet', type: 'USINT', value: 200 },
    { name: 'Port', type: 'UINT', value: 65535 },
    { name: 'Stamp', type: 'LINT', value: -123456789012 },
    { name: 'Status', type: 'DINT', value: 33 },
    { name: 'Flags', type: 'BOOL', dims: [64], value: FLAG_BITS },
    { name: 'Timer1', type: 'TIMER', value: { PRE: 600000, EN: true } },
    { name: 'Recipe1', type: 'RECIPE', value: { Done: true, Temp: 1.5, Steps: [7, 8],
                                              Limits: { Low: -1, High: 9 }, Label: 'batch 4' } },
  ];
  const types = [
    { name: 'LIMITS', members: [{ name: 'Low', type: 'INT' }, { name: 'High', type: 'INT' }] },
    { name: 'LABEL20', string: 20 },
    { name: 'RECIPE', members: [
      { name: 'Ready', type: 'BOOL' }, { name: 'Done', type: 'BOOL' },
      { name: 'Temp', type: 'REAL' }, { name: 'Steps', type: 'DINT', length: 2 },
      { name: 'Limits', type: 'LIMITS' }, { name: 'Label', type: 'LABEL20' }] },
  ];
  for (let i = 0; i < GROUP_SIZE; ++i) {
    tags.push({ name: 'G' + i, type: 'DINT', value: i * 3 });
  }
  const tagsFile = path.join(fs.mkdtempSync(path.join(os.tmpdir(), 'interop-')), 'tags.json');
  fs.writeFileSync(tagsFile, JSON.stringify({ types, tags }));
  const { port } = await startPlcsim(program, ['--no-demo-tags', '--tags-file', tagsFile],
                                     (text) => console.log(text));
  try {
    // The library takes its port from its configuration module: point it at plcsim's.
    require('st-ethernet-ip/dist/config').EIP_PORT = port;
    const { Controller, Tag, TagGroup } = require('st-ethernet-ip');
    const controller = new Controller(true);
    await controller.connect('127.0.0.1', 0, false);
    check(controller.state.connectedMessaging !== false, 'no connected session');

    const count = controller.newTag('Count');
    await controller.readTag(count);
    check(count.value === 5, 'Count read ' + count.value);
    await controller.writeTag(count, 123456);
    const countAgain = controller.newTag('Count');
    await controller.readTag(countAgain);
    check(countAgain.value === 123456, 'Count read back ' + countAgain.value);
    const level = controller.newTag('Level');
    await controller.readTag(level);
    check(Math.abs(level.value - 1.5) < 1e-6, 'Level read ' + level.value);

    await elementaryTypesAndBits(controller, Tag);
    const fromLink = await linkValues(argument('--tagbridge'), port, ['Timer1', 'Recipe1']);
    await structures(controller, fromLink.Timer1, fromLink.Recipe1);

    const names = Array.from({ length: GROUP_SIZE }, (_, i) => 'G' + i);
    const first = await readGroup(controller, TagGroup, names);
    first.tags.forEach((tag, i) => check(tag.value === i * 3, tag.name + ' read ' + tag.value));
    first.tags.forEach((tag, i) => {
      tag.value = -7 * i;
    });
    await controller.writeTagGroup(first.group);
    const second = await readGroup(controller, TagGroup, names);
    second.tags.forEach((tag, i) => check(tag.value === -7 * i, tag.name + ' read back ' + tag.value));
    await controller.disconnect();
    console.log('st-ethernet-ip: single tags of SINT, USINT, UINT, LINT, DINT, REAL, a BOOL ' +
                'array and its bits, a TIMER and a user structure, and a TagGroup of ' +
                GROUP_SIZE + ' DINT tags ok');
  } finally {
    await stopAll();
    fs.rmSync(path.dirname(tagsFile), { recursive: true, force: true });
  }
}

main().then(
  () => process.exit(0),
  (error) => {
    console.error('FAIL: ' + (error && error.stack ? error.stack : JSON.stringify(error)));
    process.exit(1);
  }
);
