// Prolific PL2303 (H, HX, HXD, TA, TB) by the requests the chip's drivers use: the vendor start-up
// sequence, the line coding, the control lines, flow control off. The G series that shares their
// ids takes other requests and is refused. The chip tells a byte received with a framing or
// parity error, or a break, in its UART state on the interrupt endpoint, not which byte it was.
import { DEVICE_DESCRIPTOR, OtherChip, UsbDriver, bcd, bulkEndpoints, controlAnswer, controlIn, controlOut, descriptor, deviceRelease,
  interruptEndpoint, lineCoding } from './usb_requests.js';

const VENDOR = 0x01;
const SET_LINE = 0x20;
const SET_CONTROL = 0x22;
const DTR_RTS_ON = 0x03;
const FLOW_CONTROL_BITS = 0xf0;  // of register 0
const HX_STATUS = 0x8080;
// The UART state: its byte in a notification, and its bits for a damaged byte.
const UART_STATE_AT = 8;
const BREAK = 0x04;
const FRAMING_ERROR = 0x10;
const PARITY_ERROR = 0x20;

// The type of chip by its device descriptor, as the Linux kernel's driver tells them apart: the H
// by its class or its control endpoint's size; the others by their USB version and release, where
// a TA or TB, unlike the G chip of the same release, answers the question for its HX status. Only
// the control endpoint's size is not among what the browser shows of the descriptor: a device
// whose descriptor cannot be read is taken for one of 64 bytes, as every chip after the H has.
async function chipType(device) {
  const usb = bcd(device.usbVersionMajor, device.usbVersionMinor, device.usbVersionSubminor);
  const release = deviceRelease(device);
  const controlPacket = await descriptor(device, DEVICE_DESCRIPTOR).then((d) => d[7] ?? 64, () => 64);
  if (device.deviceClass === 0x02 || controlPacket !== 64) return 'H';
  if (usb === 0x0101 || usb === 0x0110) return release === 0x0400 ? 'HXD' : 'HX';
  if (usb !== 0x0200) return null;
  if (release === 0x0300 || release === 0x0500) {
    const answersHxStatus = await controlAnswer(device, 'vendor', 'device', VENDOR, HX_STATUS, 0, 1).then(() => true, () => false);
    if (answersHxStatus) return release === 0x0300 ? 'TA' : 'TB';
  }
  return [0x100, 0x105, 0x300, 0x305, 0x400, 0x405, 0x500, 0x505, 0x600, 0x605, 0x700, 0x705, 0x905, 0x1005].includes(release) ? 'G' : null;
}

export class Pl2303Driver extends UsbDriver {
  static family = 'pl2303';

  async prepare() {
    this.endpoints = { ...bulkEndpoints(this.device, 0), notify: interruptEndpoint(this.device, 0) };
    this.type = await chipType(this.device);
    if (this.type === 'G') throw new OtherChip(`${this.chip} is a PL2303G`, 'Prolific PL2303G', 'pl2303g');
    if (!this.type) throw new OtherChip(`${this.chip} is of a type the page does not know`, this.chip);
    this.chip = `Prolific PL2303${this.type}`;
  }

  read(value) {
    return controlIn(this.device, 'vendor', 'device', VENDOR, value, 0, 1);
  }

  write(value, index) {
    return controlOut(this.device, 'vendor', 'device', VENDOR, value, index);
  }

  async setUp(settings) {
    await this.read(0x8484);
    await this.write(0x0404, 0);
    await this.read(0x8484);
    await this.read(0x8383);
    await this.read(0x8484);
    await this.write(0x0404, 1);
    await this.read(0x8484);
    await this.read(0x8383);
    await this.write(0, 1);
    await this.write(1, 0);
    // The H takes another value here than the chips after it.
    await this.write(2, this.type === 'H' ? 0x24 : 0x44);
    await controlOut(this.device, 'class', 'interface', SET_LINE, 0, 0, lineCoding(settings));
    await controlOut(this.device, 'class', 'interface', SET_CONTROL, DTR_RTS_ON, 0);
    // Register 0 is read at 0x80.
    const [register] = await this.read(0x80);
    await this.write(0, register & ~FLOW_CONTROL_BITS);
  }

  lineErrors(data) {
    return data.byteLength > UART_STATE_AT && data.getUint8(UART_STATE_AT) & (BREAK | FRAMING_ERROR | PARITY_ERROR) ? 1 : 0;
  }
}
