// Reads what the tests check in a Windows program file: machine, subsystem,
// imported DLLs and the resource tree.
import fs from 'node:fs';

export function readPe(file) {
  const b = fs.readFileSync(file);
  const pe = b.readUInt32LE(0x3c);
  if (b.toString('latin1', pe, pe + 4) !== 'PE\0\0') throw new Error(`${file} is not a PE file`);
  const machine = b.readUInt16LE(pe + 4);
  const sectionCount = b.readUInt16LE(pe + 6);
  const optionalSize = b.readUInt16LE(pe + 20);
  const opt = pe + 24;
  const subsystem = b.readUInt16LE(opt + 68);
  const dataDir = (i) => ({ rva: b.readUInt32LE(opt + 112 + 8 * i), size: b.readUInt32LE(opt + 116 + 8 * i) });
  const sections = [];
  for (let i = 0, s = opt + optionalSize; i < sectionCount; i++, s += 40) {
    sections.push({ va: b.readUInt32LE(s + 12), size: b.readUInt32LE(s + 16), raw: b.readUInt32LE(s + 20) });
  }
  const offset = (rva) => {
    const s = sections.find((x) => rva >= x.va && rva < x.va + x.size);
    if (!s) throw new Error(`rva ${rva} is in no section`);
    return rva - s.va + s.raw;
  };
  const cString = (at) => b.toString('latin1', at, b.indexOf(0, at));

  const imports = [];
  const importDir = dataDir(1);
  for (let d = offset(importDir.rva); b.readUInt32LE(d + 12) !== 0; d += 20) {
    imports.push(cString(offset(b.readUInt32LE(d + 12))));
  }

  // Resource tree: type -> id -> data of the first language.
  const resources = new Map();
  const rsrc = dataDir(2);
  if (rsrc.size) {
    const base = offset(rsrc.rva);
    const entries = (dir) => {
      const count = b.readUInt16LE(dir + 12) + b.readUInt16LE(dir + 14);
      return Array.from({ length: count }, (_, i) => ({
        id: b.readUInt32LE(dir + 16 + 8 * i),
        target: b.readUInt32LE(dir + 20 + 8 * i),
      }));
    };
    for (const type of entries(base)) {
      const byId = new Map();
      for (const name of entries(base + (type.target & 0x7fffffff))) {
        const [language] = entries(base + (name.target & 0x7fffffff));
        const leaf = base + language.target;
        const at = offset(b.readUInt32LE(leaf));
        byId.set(name.id, b.subarray(at, at + b.readUInt32LE(leaf + 4)));
      }
      resources.set(type.id, byId);
    }
  }
  return { machine, subsystem, imports, resources };
}

export const RT_ICON = 3;
export const RT_GROUP_ICON = 14;
export const RT_MANIFEST = 24;

// The images an icon group lists: size in pixels and bits per pixel.
export function iconGroup(data) {
  const count = data.readUInt16LE(4);
  return Array.from({ length: count }, (_, i) => {
    const e = 6 + 14 * i;
    return { size: data[e] || 256, bits: data.readUInt16LE(e + 6), iconId: data.readUInt16LE(e + 12) };
  });
}
