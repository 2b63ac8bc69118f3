// Control transfers, descriptors and endpoints for the WebUSB drivers (usb_*.js), and what every
// driver has unless it says otherwise: a request that the chip does not complete is an error with
// its name, so that a driver reads as its list of requests.

// A request to the chip: type 'vendor', 'class' or 'standard', recipient 'device' or 'interface'.
export async function controlOut(device, type, recipient, request, value, index, data) {
  const setup = { requestType: type, recipient, request, value, index };
  const result = data === undefined ? await device.controlTransferOut(setup) : await device.controlTransferOut(setup, data);
  if (result.status !== 'ok') throw new Error(`the adapter refused request 0x${request.toString(16)} (${result.status})`);
}

// The bytes the chip answers a request with, at most length of them: fewer where it sends fewer.
export async function controlAnswer(device, type, recipient, request, value, index, length) {
  const result = await device.controlTransferIn({ requestType: type, recipient, request, value, index }, length);
  if (result.status !== 'ok' || !result.data) throw new Error(`the adapter refused request 0x${request.toString(16)} (${result.status})`);
  return bytesOf(result.data);
}

// A request that reads length bytes from the chip.
export async function controlIn(device, type, recipient, request, value, index, length) {
  const bytes = await controlAnswer(device, type, recipient, request, value, index, length);
  if (bytes.length < length) throw new Error(`the adapter answered request 0x${request.toString(16)} with ${bytes.length} of ${length} bytes`);
  return bytes;
}

const GET_DESCRIPTOR = 0x06;
export const DEVICE_DESCRIPTOR = 0x01;
export const CONFIGURATION_DESCRIPTOR = 0x02;

// A standard descriptor of the device: its DEVICE descriptor, or the CONFIGURATION descriptor with
// everything that follows it (its interfaces, their class-specific descriptors, their endpoints) of
// the configuration the device is in.
export async function descriptor(device, type) {
  const index = type !== CONFIGURATION_DESCRIPTOR ? 0
    : Math.max(0, device.configurations.findIndex((c) => c.configurationValue === device.configuration?.configurationValue));
  const read = (length) => controlAnswer(device, 'standard', 'device', GET_DESCRIPTOR, (type << 8) | index, 0, length);
  const head = await read(type === CONFIGURATION_DESCRIPTOR ? 9 : 18);
  if (head.length < 2 || head[1] !== type) throw new Error(`the adapter gave no descriptor of type ${type}`);
  if (type !== CONFIGURATION_DESCRIPTOR || head.length < 4) return head;
  return read(head[2] | (head[3] << 8));
}

// The bulk endpoints of an interface: { in, out, packetSize } (the IN endpoint's packet size).
export function bulkEndpoints(device, interfaceNumber) {
  const endpoints = endpointsOf(device, interfaceNumber).filter((e) => e.type === 'bulk');
  const input = endpoints.find((e) => e.direction === 'in');
  const output = endpoints.find((e) => e.direction === 'out');
  if (!input || !output) throw new Error(`interface ${interfaceNumber} has no bulk endpoints`);
  return { in: input.endpointNumber, out: output.endpointNumber, packetSize: input.packetSize };
}

// The number of an interface's interrupt IN endpoint, where the chip sends its notifications; null
// where it has none.
export function interruptEndpoint(device, interfaceNumber) {
  return endpointsOf(device, interfaceNumber).find((e) => e.type === 'interrupt' && e.direction === 'in')?.endpointNumber ?? null;
}

const interfaceOf = (device, interfaceNumber) => device.configuration.interfaces.find((i) => i.interfaceNumber === interfaceNumber);
const endpointsOf = (device, interfaceNumber) => interfaceOf(device, interfaceNumber)?.alternate.endpoints ?? [];

const VENDOR_SPECIFIC = 0xff;

// The bulk endpoints of the first interface, where it is the maker's own (vendor-specific class):
// for a driver that takes every product of its maker, which makes other devices too.
export function makersSerialEndpoints(device, chip) {
  if (interfaceOf(device, 0)?.alternate.interfaceClass !== VENDOR_SPECIFIC) {
    throw new OtherChip(`USB ${hex4(device.vendorId)}:${hex4(device.productId)} has no ${chip} serial port`, chip);
  }
  return bulkEndpoints(device, 0);
}

export const hex4 = (value) => value.toString(16).padStart(4, '0');

// A version as the descriptor gives it in BCD (0x0110 for 1.10), from the browser's three parts.
export const bcd = (major, minor, subminor) => (major << 8) | (minor << 4) | subminor;
// The device's release (bcdDevice), by which a maker tells its chips apart.
export const deviceRelease = (device) => bcd(device.deviceVersionMajor, device.deviceVersionMinor, device.deviceVersionSubminor);

// The bytes of a transfer's DataView.
export const bytesOf = (data) => new Uint8Array(data.buffer, data.byteOffset, data.byteLength);

// Little-endian bytes of a 32-bit value.
export function le32(value) {
  return [value & 0xff, (value >>> 8) & 0xff, (value >>> 16) & 0xff, (value >>> 24) & 0xff];
}

// The CDC line coding (also the PL2303's): rate, stop bits, parity, data bits.
export function lineCoding(settings) {
  const stop = settings.stopBits === 2 ? 2 : 0;
  const parity = { none: 0, odd: 1, even: 2 }[settings.parity] ?? 0;
  return new Uint8Array([...le32(settings.baudRate), stop, parity, settings.dataBits]);
}

// The adapter is of a chip the driver found it cannot drive: family names the family of requests
// it speaks instead, where the driver knows it.
export class OtherChip extends Error {
  constructor(message, chip, family = null) {
    super(message);
    this.chip = chip;
    this.family = family;
  }
}

// A driver: made with the device and the chip's name as the core's table knows it (undefined for
// an adapter the table does not hold). prepare() looks at the device before its interfaces are
// claimed (its endpoints, descriptors, which chip it is: OtherChip where it cannot be driven);
// setUp(settings) sets the line; payload(data) is the data bytes of an IN transfer; where endpoints
// name a notify endpoint, lineErrors(data) tells how many framing or parity errors or breaks a
// notification from it reports; restore() puts back what setUp changed that outlives the port.
export class UsbDriver {
  constructor(device, chip) {
    this.device = device;
    this.chip = chip ?? '';
    this.interfaces = [0];
    this.endpoints = null;
  }

  async prepare() {
    this.endpoints = bulkEndpoints(this.device, 0);
  }

  payload(data) {
    return bytesOf(data);
  }

  lineErrors() {
    return 0;
  }

  async restore() {}
}
