#!/usr/bin/env node
// Writes a PNG screenshot of the X display, or of the one window whose id is
// given, to standard output, with no image package: xwd dumps the windows, this
// script composes and encodes them.
import { execFileSync } from 'node:child_process';
import { deflateSync } from 'node:zlib';

// X window dumps (xwd) of TrueColor windows with 24 or 32 bits per pixel.
function readXwd(xwd) {
  const field = (i) => xwd.readUInt32BE(4 * i);
  const [headerSize, width, height, byteOrder, bitsPerPixel, bytesPerLine, colours] = [
    field(0), field(4), field(5), field(7), field(11), field(12), field(19),
  ];
  if (bitsPerPixel !== 24 && bitsPerPixel !== 32) {
    throw new Error(`only 24 or 32 bits per pixel are supported, not ${bitsPerPixel}`);
  }
  const masks = [field(14), field(15), field(16)];
  const shifts = masks.map((mask) => 31 - Math.clz32(mask & -mask));
  const pixelBytes = bitsPerPixel / 8;
  const pixels = headerSize + 12 * colours;
  const rgb = Buffer.alloc(width * height * 3);
  for (let y = 0; y < height; y++) {
    for (let x = 0; x < width; x++) {
      const at = pixels + y * bytesPerLine + pixelBytes * x;
      const value = byteOrder === 0 ? xwd.readUIntLE(at, pixelBytes) : xwd.readUIntBE(at, pixelBytes);
      for (let c = 0; c < 3; c++) rgb[3 * (y * width + x) + c] = (value & masks[c]) >>> shifts[c];
    }
  }
  return { width, height, rgb };
}

const dump = (args) => readXwd(execFileSync('xwd', ['-silent', ...args], { maxBuffer: 1 << 28 }));

// The root window, then every mapped top-level window drawn over it from the
// bottom of the stack up: under Xvfb the root's own image leaves the contents
// of some Wine windows (dialog boxes among them) black.
const [windowId] = process.argv.slice(2);
const screen = dump(windowId ? ['-id', windowId] : ['-root']);
const tree = windowId ? '' : execFileSync('xwininfo', ['-root', '-children'], { encoding: 'utf8' });
const windows = [...tree.matchAll(/^\s+(0x[0-9a-f]+) .*\s(\d+)x(\d+)\+-?\d+\+-?\d+\s+\+(-?\d+)\+(-?\d+)$/gm)]
  .map(([, id, w, h, x, y]) => ({ id, w: +w, h: +h, x: +x, y: +y }))
  .filter((w) => w.w > 1 && w.h > 1)
  .reverse();
for (const win of windows) {
  let image;
  try {
    image = dump(['-id', win.id]);
  } catch {
    continue; // not viewable
  }
  for (let y = 0; y < image.height; y++) {
    const sy = win.y + y;
    if (sy < 0 || sy >= screen.height) continue;
    for (let x = 0; x < image.width; x++) {
      const sx = win.x + x;
      if (sx < 0 || sx >= screen.width) continue;
      image.rgb.copy(screen.rgb, 3 * (sy * screen.width + sx), 3 * (y * image.width + x), 3 * (y * image.width + x + 1));
    }
  }
}

const { width, height } = screen;
const rows = Buffer.alloc(height * (1 + 3 * width));
for (let y = 0; y < height; y++) screen.rgb.copy(rows, y * (1 + 3 * width) + 1, 3 * y * width, 3 * (y + 1) * width);

const crcTable = Array.from({ length: 256 }, (_, n) => {
  let c = n;
  for (let k = 0; k < 8; k++) c = c & 1 ? 0xedb88320 ^ (c >>> 1) : c >>> 1;
  return c >>> 0;
});
const crc32 = (data) => {
  let c = 0xffffffff;
  for (const byte of data) c = crcTable[(c ^ byte) & 0xff] ^ (c >>> 8);
  return (c ^ 0xffffffff) >>> 0;
};
const chunk = (type, data) => {
  const head = Buffer.alloc(8);
  head.writeUInt32BE(data.length, 0);
  head.write(type, 4, 'latin1');
  const tail = Buffer.alloc(4);
  tail.writeUInt32BE(crc32(Buffer.concat([head.subarray(4), data])), 0);
  return Buffer.concat([head, data, tail]);
};
const ihdr = Buffer.alloc(13);
ihdr.writeUInt32BE(width, 0);
ihdr.writeUInt32BE(height, 4);
ihdr[8] = 8; // bits per channel
ihdr[9] = 2; // RGB
process.stdout.write(Buffer.concat([
  Buffer.from([0x89, 0x50, 0x4e, 0x47, 0x0d, 0x0a, 0x1a, 0x0a]),
  chunk('IHDR', ihdr),
  chunk('IDAT', deflateSync(rows)),
  chunk('IEND', Buffer.alloc(0)),
]));
