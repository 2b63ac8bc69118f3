// Silicon Labs CP210x chips by their published vendor requests, made to the interface: the UART
// enabled, the rate, the line control, flow control off, and the line's events embedded in the
// data, so that a byte the chip received with a framing or parity error, or a break, is known.
import { UsbDriver, bytesOf, controlAnswer, controlOut, le32, makersSerialEndpoints } from './usb_requests.js';

const IFC_ENABLE = 0x00;
const SET_LINE_CTL = 0x03;
const SET_MHS = 0x07;
const SET_FLOW = 0x13;
const EMBED_EVENTS = 0x15;
const SET_BAUDRATE = 0x1e;
const VENDOR_SPECIFIC = 0xff;
const GET_PARTNUM = 0x370b;
const CP2102 = 0x02;
const UART_ENABLE = 1;
const UART_DISABLE = 0;
// DTR and RTS on, each with the bit that says it is being set.
const DTR_RTS_ON = 0x0303;
// Flow control: DTR held on, no CTS, DSR or DCD handshake; RTS held on, no XON/XOFF.
const DTR_ACTIVE = 0x01;
const RTS_ACTIVE = 0x40;

// With events embedded, the chip sends ESCAPE and a code: 0 for the data byte ESCAPE itself, 1 for
// the line status and the data byte it belongs to, 2 for the line status alone, 3 for the modem
// status; each status is one byte.
const ESCAPE = 0xec;
const PARITY_ERROR = 0x04;
const FRAMING_ERROR = 0x08;
const BREAK = 0x10;
const DAMAGED = PARITY_ERROR | FRAMING_ERROR | BREAK;
const [DATA, ESCAPED, STATUS_OF_BYTE, BYTE_WITH_STATUS, STATUS] = [0, 1, 2, 3, 4];
const AFTER_ESCAPE = { 1: STATUS_OF_BYTE, 2: STATUS, 3: STATUS };

export class Cp210xDriver extends UsbDriver {
  static family = 'cp210x';

  async prepare() {
    this.endpoints = makersSerialEndpoints(this.device, this.chip);
  }

  request(request, value, data) {
    return controlOut(this.device, 'vendor', 'interface', request, value, 0, data);
  }

  async setUp(settings) {
    await this.request(IFC_ENABLE, UART_ENABLE);
    await this.request(SET_BAUDRATE, 0, new Uint8Array(le32(settings.baudRate)));
    const parity = { none: 0, odd: 1, even: 2 }[settings.parity] ?? 0;
    await this.request(SET_LINE_CTL, (settings.stopBits === 2 ? 2 : 0) | (parity << 4) | (settings.dataBits << 8));
    await this.request(SET_FLOW, 0, new Uint8Array([...le32(DTR_ACTIVE), ...le32(RTS_ACTIVE), ...le32(0x80), ...le32(0x80)]));
    await this.request(SET_MHS, DTR_RTS_ON);
    this.embedded = false;
    this.state = DATA;
    if (await this.embedsEvents()) {
      try {
        await this.request(EMBED_EVENTS, ESCAPE);
        this.embedded = true;
      } catch (error) { /* the bytes come as they are, damaged or not */ }
    }
  }

  // Whether the chip can embed events: a CP2102 that answers a two-byte question for its part
  // number with one byte cannot (such chips, likely copies, send the data as it is). A chip that
  // does not say its part is left as it is.
  async embedsEvents() {
    const ask = (length) => controlAnswer(this.device, 'vendor', 'device', VENDOR_SPECIFIC, GET_PARTNUM, 0, length);
    try {
      const [part] = await ask(1);
      return part !== CP2102 || (await ask(2)).length === 2;
    } catch (error) {
      return false;
    }
  }

  // The data of IN transfers, its events taken out, and the bytes the chip received damaged
  // dropped, as the console's line drops such bytes. An event may run on into the next transfer.
  payload(data) {
    const bytes = bytesOf(data);
    if (!this.embedded) return bytes;
    const kept = [];
    for (const byte of bytes) {
      switch (this.state) {
        case DATA:
          if (byte === ESCAPE) this.state = ESCAPED;
          else kept.push(byte);
          break;
        case ESCAPED:
          if (byte === 0) kept.push(ESCAPE);
          this.state = AFTER_ESCAPE[byte] ?? DATA;
          break;
        case STATUS_OF_BYTE:
          this.status = byte;
          this.state = BYTE_WITH_STATUS;
          break;
        case BYTE_WITH_STATUS:
          if (!(this.status & DAMAGED)) kept.push(byte);
          this.state = DATA;
          break;
        default:
          this.state = DATA;
      }
    }
    return kept;
  }

  // Disabling the UART also ends the embedded events.
  async restore() {
    await this.request(IFC_ENABLE, UART_DISABLE);
  }
}
