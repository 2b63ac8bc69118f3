// CDC-ACM, the USB class of serial ports: the line coding and the control lines on the
// communication interface, the data on the data interface paired with it. A device may hold other
// functions beside its serial port (a network adapter's RNDIS, of the same class and subclass);
// only an ACM function is taken. The chip tells a byte received with a framing or parity error, or
// a break, in a SERIAL_STATE notification, not which byte it was.
import { CONFIGURATION_DESCRIPTOR, OtherChip, UsbDriver, bulkEndpoints, controlOut, descriptor, hex4, interruptEndpoint,
  lineCoding } from './usb_requests.js';

const SET_LINE_CODING = 0x20;
const SET_CONTROL_LINE_STATE = 0x22;
const DTR_RTS_ON = 0x03;
const COMMUNICATION = 0x02;
const ABSTRACT_CONTROL = 0x02;
const VENDOR_PROTOCOL = 0xff;  // RNDIS's, beside the AT-command and no protocols of serial ports
const DATA = 0x0a;
const CLASS_INTERFACE_DESCRIPTOR = 0x24;
const UNION = 0x06;
// A SERIAL_STATE notification: its code, where its state is, and the state's bits for a damaged byte.
const SERIAL_STATE = 0x20;
const STATE_AT = 8;
const BREAK = 0x04;
const FRAMING_ERROR = 0x10;
const PARITY_ERROR = 0x20;

const isSerialControl = (a) => a.interfaceClass === COMMUNICATION && a.interfaceSubclass === ABSTRACT_CONTROL &&
  a.interfaceProtocol !== VENDOR_PROTOCOL;

// The Union functional descriptors of the configuration: control interface number to the first
// interface it governs.
function unions(configuration) {
  const found = new Map();
  for (let at = 0; at + 2 <= configuration.length && configuration[at] >= 2; at += configuration[at]) {
    const [length, type, subtype] = configuration.subarray(at, at + 3);
    if (type === CLASS_INTERFACE_DESCRIPTOR && subtype === UNION && length >= 5) found.set(configuration[at + 3], configuration[at + 4]);
  }
  return found;
}

export class CdcAcmDriver extends UsbDriver {
  static family = 'cdc_acm';
  static classCode = COMMUNICATION;

  constructor(device, chip) {
    super(device, chip ?? 'USB serial (CDC-ACM)');
  }

  // The first serial communication interface with its data interface: the one its Union descriptor
  // names, or, where the device gives none, the next data interface after it.
  async prepare() {
    const { interfaces } = this.device.configuration;
    const controls = interfaces.filter((i) => isSerialControl(i.alternate));
    const ids = `USB ${hex4(this.device.vendorId)}:${hex4(this.device.productId)}`;
    if (controls.length === 0) throw new OtherChip(`${ids} is no serial adapter the page knows`, this.chip);
    const paired = unions(await descriptor(this.device, CONFIGURATION_DESCRIPTOR).catch(() => new Uint8Array(0)));
    const isData = (number) => interfaces.some((i) => i.interfaceNumber === number && i.alternate.interfaceClass === DATA);
    for (const { interfaceNumber: control } of controls) {
      const data = paired.has(control) ? paired.get(control)
        : interfaces.find((i) => i.interfaceNumber > control && i.alternate.interfaceClass === DATA)?.interfaceNumber;
      if (data === undefined || !isData(data)) continue;
      this.control = control;
      this.interfaces = [control, data];
      this.endpoints = { ...bulkEndpoints(this.device, data), notify: interruptEndpoint(this.device, control) };
      return;
    }
    throw new OtherChip(`${ids} has no data interface beside its serial port`, this.chip);
  }

  async setUp(settings) {
    await controlOut(this.device, 'class', 'interface', SET_LINE_CODING, 0, this.control, lineCoding(settings));
    await controlOut(this.device, 'class', 'interface', SET_CONTROL_LINE_STATE, DTR_RTS_ON, this.control);
  }

  lineErrors(data) {
    if (data.byteLength <= STATE_AT || data.getUint8(1) !== SERIAL_STATE) return 0;
    return data.getUint8(STATE_AT) & (BREAK | FRAMING_ERROR | PARITY_ERROR) ? 1 : 0;
  }
}
