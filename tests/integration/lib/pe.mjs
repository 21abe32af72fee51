// Reads what the tests check in a Windows program file (machine, subsystem,
// imported DLLs and the resource tree), sets its version and signs it.
import { execFileSync } from 'node:child_process';
import fs from 'node:fs';
import path from 'node:path';

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

// A copy of a program whose fixed file version reads `version` ("2.1.2").
export function withFileVersion(bytes, version) {
  const copy = Buffer.from(bytes);
  const info = copy.indexOf(Buffer.from('VS_VERSION_INFO', 'utf16le'));
  const at = copy.indexOf(Buffer.from([0xbd, 0x04, 0xef, 0xfe]), info); // VS_FIXEDFILEINFO's signature
  const [a, b, c = 0, d = 0] = version.split('.').map(Number);
  copy.writeUInt32LE(((a << 16) | b) >>> 0, at + 8);
  copy.writeUInt32LE(((c << 16) | d) >>> 0, at + 12);
  return copy;
}

// A throw-away code-signing certificate and key for `subject` ("/CN=…/O=…") in
// `dir`; `sign` writes `out`, a copy of `file` signed with it (SHA-256).
export function makeSigner(dir, name, subject) {
  const signer = { cert: path.join(dir, `${name}.pem`), key: path.join(dir, `${name}.key`) };
  execFileSync('openssl', ['req', '-x509', '-newkey', 'rsa:2048', '-nodes', '-days', '2', '-subj', subject,
    '-addext', 'extendedKeyUsage=codeSigning', '-keyout', signer.key, '-out', signer.cert], { stdio: 'ignore' });
  return signer;
}
export function sign(file, signer, out) {
  fs.rmSync(out, { force: true });
  execFileSync('osslsigncode', ['sign', '-certs', signer.cert, '-key', signer.key, '-h', 'sha256', '-n', 'Tolvin',
    '-in', file, '-out', out], { stdio: 'ignore' });
}
