// FTDI's chips (FT232R, FT231X, FT232H, the first port of FT2232 and FT4232) by their published
// vendor requests. Every IN packet starts with two status bytes, the modem's and the line's; the
// latency timer holds a reply that does not fill a packet up to its time (16 ms as shipped), so it
// is set to 1 ms for the update and put back after.
import { UsbDriver, bytesOf, controlIn, controlOut, deviceRelease, makersSerialEndpoints } from './usb_requests.js';

const RESET = 0x00;
const MODEM_CTRL = 0x01;
const SET_FLOW_CTRL = 0x02;
const SET_BAUD_RATE = 0x03;
const SET_DATA = 0x04;
const SET_LATENCY_TIMER = 0x09;
const GET_LATENCY_TIMER = 0x0a;
const DTR_ON = 0x0101;
const RTS_ON = 0x0202;
// The line status byte: a parity or framing error, or a break.
const PARITY_ERROR = 0x04;
const FRAMING_ERROR = 0x08;
const BREAK = 0x10;
const UPDATE_LATENCY_MS = 1;

// The chip by its release number (bcdDevice), and whether its baud rate comes from the 120 MHz
// clock of the H chips.
const CHIPS = {
  0x0400: ['FT232BM', false],
  0x0500: ['FT2232C', false],
  0x0600: ['FT232R', false],
  0x0700: ['FT2232H', true],
  0x0800: ['FT4232H', true],
  0x0900: ['FT232H', true],
  0x1000: ['FT231X', false],
};

// The baud divisor: the clock (3 MHz, or 12 MHz on H chips) over the rate in whole eighths, the
// eighths in the chip's own code at bit 14.
function divisor(baudRate, highSpeed) {
  const FRACTION_CODE = [0, 3, 2, 4, 1, 5, 6, 7];
  const eighths = Math.round(((highSpeed ? 12e6 : 3e6) * 8) / baudRate);
  let value = (eighths >> 3) | (FRACTION_CODE[eighths & 7] << 14);
  if (highSpeed) return value | 0x20000;
  if (value === 1) value = 0;            // 3 MHz itself
  else if (value === 0x4001) value = 1;  // 2 MHz
  return value;
}

export class FtdiDriver extends UsbDriver {
  static family = 'ftdi';

  // The chip is named by its release, more closely than by its ids.
  constructor(device) {
    super(device);
    const [name, highSpeed] = CHIPS[deviceRelease(device)] ?? ['serial chip', false];
    this.chip = `FTDI ${name}`;
    this.highSpeed = highSpeed;
    // A chip of several ports numbers them from 1 in its requests: the first is 1.
    this.port = device.configuration.interfaces.length > 1 ? 1 : 0;
    this.latencyFound = null;
  }

  async prepare() {
    this.endpoints = makersSerialEndpoints(this.device, 'FTDI');
  }

  async setUp(settings) {
    const out = (request, value, index = this.port) => controlOut(this.device, 'vendor', 'device', request, value, index);
    await out(RESET, 0);
    const baud = divisor(settings.baudRate, this.highSpeed);
    // The chips after the first ones take the divisor's high bits in the index's high byte.
    const release = this.device.deviceVersionMajor;
    const highInIndex = this.highSpeed || release === 0x05 || release === 0x10;
    await out(SET_BAUD_RATE, baud & 0xffff, highInIndex ? ((baud >> 16) << 8) | this.port : baud >> 16);
    const parity = { none: 0, odd: 1, even: 2 }[settings.parity] ?? 0;
    await out(SET_DATA, settings.dataBits | (parity << 8) | ((settings.stopBits === 2 ? 2 : 0) << 11));
    await out(SET_FLOW_CTRL, 0);
    // The modem lines as the console updater leaves them: DTR and RTS on.
    await out(MODEM_CTRL, DTR_ON);
    await out(MODEM_CTRL, RTS_ON);
    // A chip that does not answer these keeps its timer: the update is slower, not wrong.
    try {
      [this.latencyFound] = await controlIn(this.device, 'vendor', 'device', GET_LATENCY_TIMER, 0, this.port, 1);
      await out(SET_LATENCY_TIMER, UPDATE_LATENCY_MS);
    } catch (error) {
      this.latencyFound = null;
    }
  }

  // The data of IN packets: each packet's two status bytes stripped, and its data dropped where the
  // line status tells a parity or framing error (which of its bytes it was, the chip does not say) or
  // a break (the 0 it leaves at the packet's end), as the console's line drops such bytes.
  payload(data) {
    const bytes = bytesOf(data);
    const kept = [];
    for (let at = 0; at < bytes.length; at += this.endpoints.packetSize) {
      const packet = bytes.subarray(at, Math.min(at + this.endpoints.packetSize, bytes.length));
      if (packet.length <= 2 || packet[1] & (PARITY_ERROR | FRAMING_ERROR)) continue;
      let end = packet.length;
      if (packet[1] & BREAK && packet[end - 1] === 0) end -= 1;
      for (let i = 2; i < end; ++i) kept.push(packet[i]);
    }
    return kept;
  }

  async restore() {
    if (this.latencyFound === null) return;
    await controlOut(this.device, 'vendor', 'device', SET_LATENCY_TIMER, this.latencyFound, this.port);
  }
}
