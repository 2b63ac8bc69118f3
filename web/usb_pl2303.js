// Prolific PL2303 (HX and the chips after it that keep its requests) by the requests the chip's
// drivers use: the vendor start-up sequence, the line coding, the control lines, flow control off.
import { bulkEndpoints, controlIn, controlOut, lineCoding } from './usb_requests.js';

const VENDOR = 0x01;
const SET_LINE = 0x20;
const SET_CONTROL = 0x22;
const DTR_RTS_ON = 0x03;
const FLOW_CONTROL_BITS = 0xf0;  // of register 0

export class Pl2303Driver {
  static matches(device) {
    return device.vendorId === 0x067b && device.productId === 0x2303;
  }

  constructor(device) {
    this.device = device;
    this.chip = 'Prolific PL2303';
    this.interfaces = [0];
  }

  read(value) {
    return controlIn(this.device, 'vendor', 'device', VENDOR, value, 0, 1);
  }

  write(value, index) {
    return controlOut(this.device, 'vendor', 'device', VENDOR, value, index);
  }

  async setUp(settings) {
    this.endpoints = bulkEndpoints(this.device, 0);
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
    await this.write(2, 0x44);
    await controlOut(this.device, 'class', 'interface', SET_LINE, 0, 0, lineCoding(settings));
    await controlOut(this.device, 'class', 'interface', SET_CONTROL, DTR_RTS_ON, 0);
    // Register 0 is read at 0x80.
    const [register] = await this.read(0x80);
    await this.write(0, register & ~FLOW_CONTROL_BITS);
  }

  payload(data) {
    return new Uint8Array(data.buffer, data.byteOffset, data.byteLength);
  }

  async restore() {}
}
