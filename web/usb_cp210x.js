// Silicon Labs CP210x chips by their published vendor requests, made to the interface: the UART
// enabled, the rate, the line control, flow control off.
import { bulkEndpoints, controlOut, le32 } from './usb_requests.js';

const IFC_ENABLE = 0x00;
const SET_LINE_CTL = 0x03;
const SET_MHS = 0x07;
const SET_FLOW = 0x13;
const SET_BAUDRATE = 0x1e;
const UART_ENABLE = 1;
const UART_DISABLE = 0;
// DTR and RTS on, each with the bit that says it is being set.
const DTR_RTS_ON = 0x0303;
// Flow control: DTR held on, no CTS, DSR or DCD handshake; RTS held on, no XON/XOFF.
const DTR_ACTIVE = 0x01;
const RTS_ACTIVE = 0x40;

export class Cp210xDriver {
  static matches(device) {
    return device.vendorId === 0x10c4;
  }

  constructor(device) {
    this.device = device;
    this.chip = 'Silicon Labs CP210x';
    this.interfaces = [0];
  }

  request(request, value, data) {
    return controlOut(this.device, 'vendor', 'interface', request, value, 0, data);
  }

  async setUp(settings) {
    this.endpoints = bulkEndpoints(this.device, 0);
    await this.request(IFC_ENABLE, UART_ENABLE);
    await this.request(SET_BAUDRATE, 0, new Uint8Array(le32(settings.baudRate)));
    const parity = { none: 0, odd: 1, even: 2 }[settings.parity] ?? 0;
    await this.request(SET_LINE_CTL, (settings.stopBits === 2 ? 2 : 0) | (parity << 4) | (settings.dataBits << 8));
    await this.request(SET_FLOW, 0, new Uint8Array([...le32(DTR_ACTIVE), ...le32(RTS_ACTIVE), ...le32(0x80), ...le32(0x80)]));
    await this.request(SET_MHS, DTR_RTS_ON);
  }

  payload(data) {
    return new Uint8Array(data.buffer, data.byteOffset, data.byteLength);
  }

  async restore() {
    await this.request(IFC_ENABLE, UART_DISABLE);
  }
}
