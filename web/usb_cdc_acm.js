// CDC-ACM, the USB class of serial ports: the line coding and the control lines on the
// communication interface, the data on the data interface.
import { bulkEndpoints, controlOut, lineCoding } from './usb_requests.js';

const SET_LINE_CODING = 0x20;
const SET_CONTROL_LINE_STATE = 0x22;
const DTR_RTS_ON = 0x03;
const COMMUNICATION = 0x02;
const ABSTRACT_CONTROL = 0x02;
const DATA = 0x0a;

const interfaceOf = (device, wanted) => device.configuration.interfaces.find(({ alternate }) => wanted(alternate));
const communication = (device) => interfaceOf(device, (a) => a.interfaceClass === COMMUNICATION && a.interfaceSubclass === ABSTRACT_CONTROL);
const data = (device) => interfaceOf(device, (a) => a.interfaceClass === DATA);

export class CdcAcmDriver {
  static matches(device) {
    return Boolean(communication(device) && data(device));
  }

  constructor(device) {
    this.device = device;
    this.chip = 'USB serial (CDC-ACM)';
    this.control = communication(device).interfaceNumber;
    this.data = data(device).interfaceNumber;
    this.interfaces = [this.control, this.data];
  }

  async setUp(settings) {
    this.endpoints = bulkEndpoints(this.device, this.data);
    await controlOut(this.device, 'class', 'interface', SET_LINE_CODING, 0, this.control, lineCoding(settings));
    await controlOut(this.device, 'class', 'interface', SET_CONTROL_LINE_STATE, DTR_RTS_ON, this.control);
  }

  payload(data) {
    return new Uint8Array(data.buffer, data.byteOffset, data.byteLength);
  }

  async restore() {}
}
