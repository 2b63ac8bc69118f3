// The page's serial port: the one interface between the update core and a transport. The core
// (through Module.serialPort) and the page use only what is described here; each transport (Web
// Serial, WebUSB) is a file of its own with a subclass of Port that fills in openLine, send and
// shut.
//
// The contract, as the core sees it:
//   open(settings)    opens the line with settings (LINE_SETTINGS: 115200 baud, 8 data bits, no
//                     parity, one stop bit, no flow control). Rejects with the system's reason when
//                     the port cannot be used; the error's `help`, where the transport has one, is a
//                     plain line on what to try.
//   write(bytes)      DONE once the transport has taken the bytes, LOST when the port is gone or did
//                     not take them within the write bound: bound.msPerByte a byte plus
//                     bound.msFixed, as the page passes it to the constructor. Never waits longer.
//   read(timeoutMs)   the next byte (0 to 255), TIMED_OUT when none arrived within timeoutMs, or
//                     LOST. A byte that arrives later stays for the next read. A byte already here is
//                     returned at once, otherwise a promise; read(0) never waits.
//                     What arrives before the first write answers nothing and is dropped, as the
//                     console updater drops what waits at open.
//   close()           lets go of the port; resolves within CLOSE_BOUND_MS even when a write is stuck
//                     or the device is gone.
//   lost, lostReason  true once the port is gone (unplugged, a transfer failed, a write ran past its
//                     bound), and why in words; onLost() is called once at that moment.
//   lineErrors        how many framing or parity errors and breaks the adapter reported since the
//                     first write without saying which bytes they damaged: those bytes were passed on
//                     as they came. 0 where the transport drops the bytes it knows damaged, or knows
//                     of none.
//   describe()        { vendorId, productId, chip, serialNumber }: what the transport knows of the
//                     adapter (ids 0, texts empty when it knows nothing).
//   takeByte()        read(0) as a plain value, never a promise: the core asks it first, so that
//                     only an empty buffer costs a wait on a promise.
//
// What a transport implements:
//   openLine(settings)  opens and sets up the line; hands what arrives to this.received(bytes), the
//                       line errors the adapter reports to this.lineErrorsReported(count), and calls
//                       this.markLost(reason) when the port goes away.
//   send(bytes)         resolves once the bytes are taken; rejects with the reason when they cannot be.
//   shut()              lets go of everything; may hang on a stuck transport (close bounds it).

export const LINE_SETTINGS = { baudRate: 115200, dataBits: 8, stopBits: 1, parity: 'none', flowControl: 'none' };

export const DONE = 0;
export const TIMED_OUT = -1;
export const LOST = -2;

export const CLOSE_BOUND_MS = 1000;

export class Port {
  // bound: { msPerByte, msFixed }, the longest a write may take.
  constructor(bound) {
    this.bound = bound;
    this.buffer = [];
    this.head = 0;
    this.lost = false;
    this.lostReason = '';
    this.wrote = false;
    this.lineErrors = 0;
    this.waiter = null;
    this.onLost = () => {};
  }

  async open(settings) {
    await this.openLine(settings);
  }

  // What the transport received: kept for the reads once the core has written.
  received(bytes) {
    if (!this.wrote || this.lost) return;
    for (const byte of bytes) this.buffer.push(byte);
    if (bytes.length > 0) this.wake();
  }

  // Line errors the adapter reported: counted once the core has written, as what arrives is kept.
  lineErrorsReported(count) {
    if (this.wrote && !this.lost) this.lineErrors += count;
  }

  markLost(reason) {
    if (this.lost) return;
    this.lost = true;
    this.lostReason = reason;
    this.wake();
    this.onLost();
  }

  wake() {
    if (!this.waiter) return;
    const waiter = this.waiter;
    this.waiter = null;
    waiter();
  }

  async write(bytes) {
    if (this.lost) return LOST;
    this.wrote = true;
    const limitMs = this.bound.msPerByte * bytes.length + this.bound.msFixed;
    let timer;
    const late = new Promise((resolve) => { timer = setTimeout(() => resolve(`a write of ${bytes.length} bytes ` +
      `was not taken within ${limitMs} ms`), limitMs); });
    const sending = this.send(bytes).then(() => '', (error) => error?.message || String(error));
    const failure = await Promise.race([sending, late]);
    clearTimeout(timer);
    if (failure) this.markLost(failure);
    return this.lost ? LOST : DONE;
  }

  takeByte() {
    if (this.head >= this.buffer.length) return this.lost ? LOST : TIMED_OUT;
    const byte = this.buffer[this.head++];
    if (this.head === this.buffer.length) {
      this.buffer = [];
      this.head = 0;
    }
    return byte;
  }

  read(timeoutMs) {
    const byte = this.takeByte();
    if (byte !== TIMED_OUT || timeoutMs <= 0) return byte;
    return new Promise((resolve) => {
      const timer = setTimeout(() => {
        this.waiter = null;
        resolve(TIMED_OUT);
      }, timeoutMs);
      this.waiter = () => {
        clearTimeout(timer);
        resolve(this.takeByte());
      };
    });
  }

  async close() {
    let timer;
    const bound = new Promise((resolve) => { timer = setTimeout(resolve, CLOSE_BOUND_MS); });
    await Promise.race([this.shut().catch(() => {}), bound]);
    clearTimeout(timer);
  }

  describe() {
    return { vendorId: 0, productId: 0, chip: '', serialNumber: '' };
  }
}
