// The chosen Web Serial port as the update core reads and writes it: 115200 baud, 8N1, no flow
// control. Bytes are pumped from the port's reader into a buffer as they arrive; what arrives before
// the first write answers nothing and is dropped, as the console updater drops what waits at open.
// A read waits for the next byte or gives up after its timeout, and a byte that comes later stays
// for the next read, as on a serial port. A write waits at most as long as the core's write bound
// allows (writeLimit: per_byte_ms a byte and plus_ms, from the core's table), as the console's do. A port that is unplugged, whose reading fails, or whose write does not complete in
// time is lost: from then on nothing arrives, and the core reports a device that does not answer.

export const LINE_SETTINGS = { baudRate: 115200, dataBits: 8, stopBits: 1, parity: 'none', flowControl: 'none' };

export class SerialLink {
  constructor(port, writeLimit) {
    this.port = port;
    this.writeLimit = writeLimit;
    this.buffer = [];
    this.head = 0;
    this.lost = false;
    this.wrote = false;
    this.waiter = null;
    this.onLost = () => {};
    this.forgetPort = () => this.markLost();
  }

  // Opens the port and starts reading.
  async open() {
    await this.port.open(LINE_SETTINGS);
    this.port.addEventListener('disconnect', this.forgetPort);
    this.reader = this.port.readable.getReader();
    this.writer = this.port.writable.getWriter();
    this.pumping = this.pump();
  }

  async pump() {
    try {
      for (;;) {
        const { value, done } = await this.reader.read();
        if (done) break;
        if (!this.wrote) continue;
        for (const byte of value) this.buffer.push(byte);
        this.wake();
      }
    } catch (error) {
      this.markLost();
    }
  }

  markLost() {
    if (this.lost) return;
    this.lost = true;
    this.wake();
    this.onLost();
  }

  wake() {
    if (!this.waiter) return;
    const waiter = this.waiter;
    this.waiter = null;
    waiter();
  }

  // Resolves once the port has taken the bytes, or once their time is up: then the port is lost.
  async write(bytes) {
    if (this.lost) return;
    this.wrote = true;
    let timer;
    const late = new Promise((resolve) => { timer = setTimeout(() => resolve(false),
      this.writeLimit.per_byte_ms * bytes.length + this.writeLimit.plus_ms); });
    const writing = this.writer.write(bytes).then(() => true, () => false);
    if (!await Promise.race([writing, late])) this.markLost();
    clearTimeout(timer);
  }

  // The oldest byte not yet read, or -1; never waits.
  takeByte() {
    if (this.head >= this.buffer.length) return -1;
    const byte = this.buffer[this.head++];
    if (this.head === this.buffer.length) this.discard();
    return byte;
  }

  // The next byte within timeoutMs, or -1.
  waitByte(timeoutMs) {
    const byte = this.takeByte();
    if (byte >= 0 || this.lost) return byte;
    return new Promise((resolve) => {
      const timer = setTimeout(() => {
        this.waiter = null;
        resolve(-1);
      }, timeoutMs);
      this.waiter = () => {
        clearTimeout(timer);
        resolve(this.takeByte());
      };
    });
  }

  discard() {
    this.buffer = [];
    this.head = 0;
  }

  // Lets go of the reader and the writer and closes the port; the port may already be gone, or
  // hold a write that never completes: a second is all closing may take.
  async close() {
    this.port.removeEventListener('disconnect', this.forgetPort);
    const closing = (async () => {
      try {
        await this.reader?.cancel();
      } catch (error) { /* a lost port's reader is already done */ }
      await this.pumping;
      this.reader?.releaseLock();
      try {
        this.writer?.releaseLock();
        await this.port.close();
      } catch (error) { /* nothing left to close */ }
    })();
    await Promise.race([closing, new Promise((resolve) => setTimeout(resolve, 1000))]);
    this.reader = this.writer = null;
  }
}
