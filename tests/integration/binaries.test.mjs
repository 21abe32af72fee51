// What ships: x86-64 programs that need nothing but Windows itself, the
// shell with its icon and without a manifest.
import assert from 'node:assert/strict';
import path from 'node:path';
import { test } from 'node:test';

import { RT_GROUP_ICON, RT_ICON, RT_MANIFEST, iconGroup, readPe } from './lib/pe.mjs';
import { binDir } from './lib/wine.mjs';

const SYSTEM_DLLS = new Set(['kernel32.dll', 'user32.dll', 'gdi32.dll', 'shell32.dll', 'ole32.dll',
  'oleaut32.dll', 'advapi32.dll', 'dwmapi.dll', 'msvcrt.dll', 'mmdevapi.dll', 'ws2_32.dll', 'avrt.dll',
  'wintrust.dll', 'crypt32.dll', 'version.dll']);
const IMAGE_FILE_MACHINE_AMD64 = 0x8664;
const IMAGE_SUBSYSTEM_WINDOWS_GUI = 2;
const IMAGE_SUBSYSTEM_WINDOWS_CUI = 3;

const programs = [
  ['Tolvin.exe', IMAGE_SUBSYSTEM_WINDOWS_GUI],
  ['tolvin-app-audio.exe', IMAGE_SUBSYSTEM_WINDOWS_CUI],
];

for (const [name, subsystem] of programs) {
  test(`${name} is x86-64, of its subsystem, and imports only system DLLs`, () => {
    const pe = readPe(path.join(binDir, name));
    assert.equal(pe.machine, IMAGE_FILE_MACHINE_AMD64);
    assert.equal(pe.subsystem, subsystem);
    assert.ok(pe.imports.length > 0);
    for (const dll of pe.imports) assert.ok(SYSTEM_DLLS.has(dll.toLowerCase()), `imports ${dll}`);
  });
}

test('Tolvin.exe carries icon group 1 with 32-bit images of the six sizes, and no manifest', () => {
  const { resources } = readPe(path.join(binDir, 'Tolvin.exe'));
  const group = resources.get(RT_GROUP_ICON)?.get(1);
  assert.ok(group, 'icon group 1 exists');
  const images = iconGroup(group);
  assert.deepEqual(images.map((i) => i.size).sort((a, b) => a - b), [16, 32, 48, 64, 128, 256]);
  for (const image of images) {
    assert.equal(image.bits, 32, `${image.size} px image is 32-bit`);
    const data = resources.get(RT_ICON).get(image.iconId);
    // Each image is a bitmap whose header repeats its size and depth.
    assert.equal(data.readInt32LE(4), image.size);
    assert.equal(data.readUInt16LE(14), 32);
  }
  assert.equal(resources.has(RT_MANIFEST), false, 'no manifest resource');
});
