// WCH CH340 and CH341 chips by the vendor requests the chip's drivers use: the chip's version and
// init, the baud divisor and prescaler, the line control, flow control off, the modem lines. The
// chip tells nothing of a byte it received damaged: such a byte comes as data.
import { UsbDriver, controlIn, controlOut } from './usb_requests.js';

const READ_VERSION = 0x5f;
const WRITE_REG = 0x9a;
const SERIAL_INIT = 0xa1;
const MODEM_CTRL = 0xa4;
const REG_PRESCALER = 0x12;
const REG_DIVISOR = 0x13;
const REG_LCR = 0x18;
const REG_LCR2 = 0x25;
const REG_RTSCTS = 0x27;
const LCR_ENABLE_RX = 0x80;
const LCR_ENABLE_TX = 0x40;
const LCR_ENABLE_PARITY = 0x08;
const LCR_EVEN_PARITY = 0x10;
const LCR_TWO_STOP_BITS = 0x04;
const DTR = 1 << 5;
const RTS = 1 << 6;
// Without it, a CH341A holds received bytes until a full packet of 32 has come.
const SEND_AT_ONCE = 0x80;

const CLOCK = 48e6;
// The base clock's divider for prescaler ps and fact (1: the faster of two).
const clockDivider = (ps, fact) => 1 << (12 - 3 * ps - fact);

// The prescaler (ps, fact) and divisor nearest the rate: the fastest base clock whose divisor stays
// below 256, a halved clock where the divisor would be even.
function baudValue(baudRate) {
  let ps = 3;
  while (ps > 0 && baudRate <= CLOCK / (clockDivider(ps, 1) * 512)) ps -= 1;
  let fact = 1;
  let divider = clockDivider(ps, fact);
  let div = Math.floor(CLOCK / (divider * baudRate));
  if (div < 9 || div > 255) {
    div = Math.floor(div / 2);
    divider *= 2;
    fact = 0;
  }
  if (CLOCK / (divider * div) - baudRate >= baudRate - CLOCK / (divider * (div + 1))) div += 1;
  if (fact === 1 && div % 2 === 0) {
    div /= 2;
    fact = 0;
  }
  return ((0x100 - div) << 8) | (fact << 2) | ps;
}

export class Ch341Driver extends UsbDriver {
  static family = 'ch341';

  async setUp(settings) {
    const out = (request, value, index) => controlOut(this.device, 'vendor', 'device', request, value, index);
    const [version] = await controlIn(this.device, 'vendor', 'device', READ_VERSION, 0, 0, 2);
    await out(SERIAL_INIT, 0, 0);
    await out(WRITE_REG, (REG_DIVISOR << 8) | REG_PRESCALER, baudValue(settings.baudRate) | (version > 0x27 ? SEND_AT_ONCE : 0));
    // Chips before version 0x30 keep the line control elsewhere; 8N1 is theirs after the init.
    if (version >= 0x30) {
      let lcr = LCR_ENABLE_RX | LCR_ENABLE_TX | (settings.dataBits - 5);
      if (settings.parity !== 'none') lcr |= LCR_ENABLE_PARITY | (settings.parity === 'even' ? LCR_EVEN_PARITY : 0);
      if (settings.stopBits === 2) lcr |= LCR_TWO_STOP_BITS;
      await out(WRITE_REG, (REG_LCR2 << 8) | REG_LCR, lcr);
    }
    await out(WRITE_REG, (REG_RTSCTS << 8) | REG_RTSCTS, 0);
    // The modem lines are set low-active: DTR and RTS on.
    await out(MODEM_CTRL, ~(DTR | RTS) & 0xffff, 0);
  }
}
