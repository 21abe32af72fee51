#!/usr/bin/env node
// Draws the program icon and writes shell/tolvin.ico: one 32-bit image each of
// 16, 32, 48, 64, 128 and 256 pixels. The drawing is described here in unit
// coordinates (0..1) and sampled 4x4 per pixel for smooth edges.
// Run it again after changing the drawing, and commit the .ico.
import { writeFileSync } from 'node:fs';

const SIZES = [16, 32, 48, 64, 128, 256];
const BACKGROUND = [20, 7, 10];
const ACCENT = [236, 72, 96];
const LIGHT = [250, 236, 240];

function insideRoundedSquare(x, y, radius) {
  const cx = Math.min(Math.max(x, radius), 1 - radius);
  const cy = Math.min(Math.max(y, radius), 1 - radius);
  return (x - cx) ** 2 + (y - cy) ** 2 <= radius ** 2;
}

// Three sound bars over an accent disc on the dark rounded square.
function colourAt(x, y) {
  if (!insideRoundedSquare(x, y, 0.22)) return null;
  const bars = [
    [0.33, 0.42],
    [0.5, 0.3],
    [0.67, 0.42],
  ];
  for (const [bx, top] of bars) {
    if (Math.abs(x - bx) <= 0.055 && y >= top && y <= 1 - top) return LIGHT;
  }
  if ((x - 0.5) ** 2 + (y - 0.5) ** 2 <= 0.34 ** 2) return ACCENT;
  return BACKGROUND;
}

function render(size) {
  const pixels = Buffer.alloc(size * size * 4);
  const n = 4;
  for (let py = 0; py < size; py++) {
    for (let px = 0; px < size; px++) {
      let r = 0, g = 0, b = 0, a = 0;
      for (let sy = 0; sy < n; sy++) {
        for (let sx = 0; sx < n; sx++) {
          const c = colourAt((px + (sx + 0.5) / n) / size, (py + (sy + 0.5) / n) / size);
          if (c) { r += c[0]; g += c[1]; b += c[2]; a += 1; }
        }
      }
      // BMP rows run bottom-up, pixels are BGRA.
      const o = ((size - 1 - py) * size + px) * 4;
      if (a) {
        pixels[o] = Math.round(b / a);
        pixels[o + 1] = Math.round(g / a);
        pixels[o + 2] = Math.round(r / a);
      }
      pixels[o + 3] = Math.round((255 * a) / (n * n));
    }
  }
  const header = Buffer.alloc(40);
  header.writeUInt32LE(40, 0);
  header.writeInt32LE(size, 4);
  header.writeInt32LE(size * 2, 8); // colour image plus AND mask
  header.writeUInt16LE(1, 12);
  header.writeUInt16LE(32, 14);
  header.writeUInt32LE(pixels.length, 20);
  const maskRow = Math.ceil(size / 32) * 4;
  return Buffer.concat([header, pixels, Buffer.alloc(maskRow * size)]);
}

const images = SIZES.map(render);
const dir = Buffer.alloc(6 + 16 * images.length);
dir.writeUInt16LE(1, 2);
dir.writeUInt16LE(images.length, 4);
let offset = dir.length;
images.forEach((img, i) => {
  const e = 6 + 16 * i;
  dir.writeUInt8(SIZES[i] % 256, e);
  dir.writeUInt8(SIZES[i] % 256, e + 1);
  dir.writeUInt16LE(1, e + 4);
  dir.writeUInt16LE(32, e + 6);
  dir.writeUInt32LE(img.length, e + 8);
  dir.writeUInt32LE(offset, e + 12);
  offset += img.length;
});
const out = new URL('../shell/tolvin.ico', import.meta.url);
writeFileSync(out, Buffer.concat([dir, ...images]));
console.log(`wrote ${out.pathname}`);
