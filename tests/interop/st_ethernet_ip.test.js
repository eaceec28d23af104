// plcsim checked by st-ethernet-ip, an EtherNet/IP client library written elsewhere: a
// connected session reads and writes single tags, then a TagGroup of 1000 DINT tags.
// Usage: node st_ethernet_ip.test.js --plcsim PATH
'use strict';

const fs = require('fs');
const os = require('os');
const path = require('path');
const { startPlcsim, stopAll } = require('../browser/processes');

const GROUP_SIZE = 1000;

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

async function main() {
  const program = argument('--plcsim');
  const tags = [
    { name: 'Count', type: 'DINT', value: 5 },
    { name: 'Level', type: 'REAL', value: 1.5 },
  ];
  for (let i = 0; i < GROUP_SIZE; ++i) {
    tags.push({ name: 'G' + i, type: 'DINT', value: i * 3 });
  }
  const tagsFile = path.join(fs.mkdtempSync(path.join(os.tmpdir(), 'interop-')), 'tags.json');
  fs.writeFileSync(tagsFile, JSON.stringify(tags));
  const { port } = await startPlcsim(program, ['--no-demo-tags', '--tags-file', tagsFile],
                                     (text) => console.log(text));
  try {
    // The library takes its port from its configuration module: point it at plcsim's.
    require('st-ethernet-ip/dist/config').EIP_PORT = port;
    const { Controller, TagGroup } = require('st-ethernet-ip');
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
    console.log('st-ethernet-ip: single tags and a TagGroup of ' + GROUP_SIZE + ' DINT tags ok');
  } finally {
    await stopAll();
    fs.rmSync(path.dirname(tagsFile), { recursive: true, force: true });
  }
}

main().then(
  () => process.exit(0),
  (error) => {
    console.error('FAIL: ' + (error && error.stack ? error.stack : error));
    process.exit(1);
  }
);
