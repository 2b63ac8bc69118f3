// The page's port over Web Serial: the browser opens the port and sets the line itself; bytes are
// pumped from the port's reader as they arrive.
import { Port } from './port.js';

// The read errors after which Web Serial's port goes on with a new readable.
const LINE_ERRORS = ['BreakError', 'FramingError', 'ParityError', 'BufferOverrunError'];

export class WebSerialPort extends Port {
  // The browser's chooser; called in the click that asks for it.
  static request() {
    return navigator.serial.requestPort();
  }

  constructor(port, bound) {
    super(bound);
    this.port = port;
    this.forgetPort = () => this.markLost('the port was unplugged');
  }

  async openLine(settings) {
    await this.port.open(settings);
    this.port.addEventListener('disconnect', this.forgetPort);
    this.reader = this.port.readable.getReader();
    this.writer = this.port.writable.getWriter();
    this.pumping = this.pump();
  }

  // A framing or parity error, a break or an overrun ends the reader, but not the port: the browser
  // drops what it damaged, and the port's next readable goes on. Anything else lost the port.
  async pump() {
    for (;;) {
      try {
        for (;;) {
          const { value, done } = await this.reader.read();
          if (done) return;
          this.received(value);
        }
      } catch (error) {
        if (!LINE_ERRORS.includes(error.name) || !this.port.readable) {
          this.markLost(`reading failed: ${error.message}`);
          return;
        }
        this.lineErrorsReported(1);
        this.reader.releaseLock();
        this.reader = this.port.readable.getReader();
      }
    }
  }

  send(bytes) {
    return this.writer.write(bytes);
  }

  // The port may already be gone, or hold a write that never completes.
  async shut() {
    this.port.removeEventListener('disconnect', this.forgetPort);
    try {
      await this.reader?.cancel();
    } catch (error) { /* a lost port's reader is already done */ }
    await this.pumping;
    this.reader?.releaseLock();
    this.reader = null;
    try {
      this.writer?.releaseLock();
      this.writer = null;
      await this.port.close();
    } catch (error) { /* nothing left to close */ }
  }

  describe() {
    const info = this.port.getInfo();
    return { vendorId: info.usbVendorId ?? 0, productId: info.usbProductId ?? 0, chip: '', serialNumber: '' };
  }
}
