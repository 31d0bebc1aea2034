// Draws waveforms one above the other, with the source names and a time
// axis, into a PNG. Text uses a built-in 5x7 bitmap font (upper case).
import { PNG } from 'pngjs';

export interface Lane {
  label: string;
  sampleRate: number;
  channels: number;
  samples: Int16Array;
}

type Rgb = readonly [number, number, number];

const width = 1200;
const laneHeight = 160;
const margin = 16;
const scale = 2; // font pixels per bitmap pixel
const background: Rgb = [250, 250, 248];
const ink: Rgb = [40, 40, 48];
const grid: Rgb = [215, 215, 210];
const colours: readonly Rgb[] = [
  [34, 102, 170],
  [200, 90, 30],
  [60, 140, 70],
  [140, 60, 150],
];

// Rows of each glyph, top to bottom, five bits each (most significant = left).
const font: Record<string, string> = {
  A: '0e11111f111111', B: '1e11111e11111e', C: '0e11101010110e', D: '1e11111111111e',
  E: '1f10101e10101f', F: '1f10101e101010', G: '0e11101711110f', H: '1111111f111111',
  I: '0e04040404040e', J: '0702020202120c', K: '11121418141211', L: '1010101010101f',
  M: '111b1515111111', N: '11111915131111', O: '0e11111111110e', P: '1e11111e101010',
  Q: '0e11111115120d', R: '1e11111e141211', S: '0f10100e01011e', T: '1f040404040404',
  U: '1111111111110e', V: '11111111110a04', W: '1111111515150a', X: '11110a040a1111',
  Y: '1111110a040404', Z: '1f01020408101f', '0': '0e11131519110e', '1': '040c040404040e',
  '2': '0e11010204081f', '3': '1f02040201110e', '4': '02060a121f0202', '5': '1f101e0101110e',
  '6': '0608101e11110e', '7': '1f010204080808', '8': '0e11110e11110e', '9': '0e11110f01020c',
  '.': '00000000000c0c', '-': '0000001f000000', ':': '000c0c000c0c00', '(': '02040808080402',
  ')': '08040202020408', '/': '00010204081000', ',': '000000000c0408', _: '0000000000001f',
  ' ': '00000000000000', '?': '0e110102040004',
};

function glyph(character: string): number[] {
  const hex = font[character.toUpperCase()] ?? (font['?'] as string);
  return Array.from({ length: 7 }, (_, row) => parseInt(hex.slice(row * 2, row * 2 + 2), 16));
}

class Canvas {
  readonly png: PNG;

  constructor(w: number, h: number) {
    this.png = new PNG({ width: w, height: h });
    this.fill(0, 0, w, h, background);
  }

  fill(x: number, y: number, w: number, h: number, colour: Rgb): void {
    for (let j = Math.max(0, y); j < Math.min(this.png.height, y + h); j++) {
      for (let i = Math.max(0, x); i < Math.min(this.png.width, x + w); i++) {
        const at = (j * this.png.width + i) * 4;
        this.png.data[at] = colour[0];
        this.png.data[at + 1] = colour[1];
        this.png.data[at + 2] = colour[2];
        this.png.data[at + 3] = 255;
      }
    }
  }

  text(x: number, y: number, text: string, colour: Rgb = ink): void {
    for (const [n, character] of [...text].entries()) {
      glyph(character).forEach((bits, row) => {
        for (let column = 0; column < 5; column++) {
          if (bits & (0x10 >> column)) this.fill(x + (n * 6 + column) * scale, y + row * scale, scale, scale, colour);
        }
      });
    }
  }
}

function textWidth(text: string): number {
  return text.length * 6 * scale;
}

/** The PNG bytes of the lanes drawn over a common time axis of `seconds`. */
export function drawWaveforms(lanes: Lane[], seconds: number): Buffer {
  const axisHeight = 44;
  const plotLeft = margin;
  const plotWidth = width - 2 * margin;
  const height = margin + lanes.length * (laneHeight + margin) + axisHeight;
  const canvas = new Canvas(width, height);
  const step = seconds <= 2 ? 0.25 : seconds <= 5 ? 0.5 : seconds <= 20 ? 1 : 5;
  const xOf = (t: number): number => plotLeft + Math.round((t / seconds) * plotWidth);
  const axisY = margin + lanes.length * (laneHeight + margin);

  for (let t = 0; t <= seconds + 1e-9; t += step) {
    canvas.fill(xOf(t), margin, 1, axisY - margin + 6, grid);
  }
  lanes.forEach((lane, index) => {
    const top = margin + index * (laneHeight + margin);
    const middle = top + laneHeight / 2;
    const colour = colours[index % colours.length] as Rgb;
    canvas.fill(plotLeft, middle, plotWidth, 1, grid);
    // Per pixel column, the range of the samples (every channel) it covers.
    const frames = lane.samples.length / lane.channels;
    for (let x = 0; x < plotWidth; x++) {
      const from = Math.floor(((x / plotWidth) * seconds) * lane.sampleRate);
      const to = Math.min(frames, Math.floor((((x + 1) / plotWidth) * seconds) * lane.sampleRate));
      if (from >= to) continue;
      let low = 0;
      let high = 0;
      for (let i = from * lane.channels; i < to * lane.channels; i++) {
        const s = lane.samples[i] as number;
        if (s < low) low = s;
        if (s > high) high = s;
      }
      const y0 = Math.round(middle - (high / 32768) * (laneHeight / 2 - 2));
      const y1 = Math.round(middle - (low / 32768) * (laneHeight / 2 - 2));
      canvas.fill(plotLeft + x, y0, 1, Math.max(1, y1 - y0 + 1), colour);
    }
    canvas.text(plotLeft + 6, top + 4, lane.label, colour);
  });
  canvas.fill(plotLeft, axisY, plotWidth, 1, ink);
  for (let t = 0; t <= seconds + 1e-9; t += step) {
    const label = Number.isInteger(t) ? String(t) : t.toFixed(step < 0.5 ? 2 : 1);
    const x = Math.min(Math.max(xOf(t) - textWidth(label) / 2, 0), width - textWidth(label));
    canvas.fill(xOf(t), axisY, 1, 6, ink);
    canvas.text(x, axisY + 10, label);
  }
  const unit = 'SECONDS';
  canvas.text(width - margin - textWidth(unit), axisY + 28, unit);
  return PNG.sync.write(canvas.png);
}
