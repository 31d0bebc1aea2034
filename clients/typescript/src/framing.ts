// Standard output of the service: one frame per line,
// "KIND:>" + compact JSON + "<:KIND", KIND being INIT, EVENT or RESPONSE.

export type FrameKind = 'INIT' | 'EVENT' | 'RESPONSE';

export interface Frame {
  kind: FrameKind;
  body: Record<string, unknown>;
}

const kinds: readonly FrameKind[] = ['INIT', 'EVENT', 'RESPONSE'];

/** Parses one line; throws with the reason when it is not a frame. */
export function parseFrame(line: string): Frame {
  for (const kind of kinds) {
    const open = kind + ':>';
    const close = '<:' + kind;
    if (line.startsWith(open)) {
      if (!line.endsWith(close)) throw new Error(`${kind} frame without its closing marker`);
      const body: unknown = JSON.parse(line.slice(open.length, line.length - close.length));
      if (typeof body !== 'object' || body === null || Array.isArray(body)) {
        throw new Error(`${kind} frame whose body is not an object`);
      }
      return { kind, body: body as Record<string, unknown> };
    }
  }
  throw new Error('not a frame');
}

/** Splits a stream of text chunks into lines (without the line feed). */
export class LineSplitter {
  private rest = '';

  push(chunk: string, onLine: (line: string) => void): void {
    const text = this.rest + chunk;
    let start = 0;
    for (let end = text.indexOf('\n'); end >= 0; end = text.indexOf('\n', start)) {
      onLine(text.slice(start, end));
      start = end + 1;
    }
    this.rest = text.slice(start);
  }

  /** What is left after the stream ended (a line without its line feed). */
  flush(): string {
    const rest = this.rest;
    this.rest = '';
    return rest;
  }
}
