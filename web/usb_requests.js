// Control transfers and endpoints for the WebUSB drivers (usb_*.js): a request that the chip does
// not complete is an error with its name, so that a driver reads as its list of requests.

// A request to the chip: type 'vendor', 'class' or 'standard', recipient 'device' or 'interface'.
export async function controlOut(device, type, recipient, request, value, index, data) {
  const setup = { requestType: type, recipient, request, value, index };
  const result = data === undefined ? await device.controlTransferOut(setup) : await device.controlTransferOut(setup, data);
  if (result.status !== 'ok') throw new Error(`the adapter refused request 0x${request.toString(16)} (${result.status})`);
}

// A request that reads length bytes from the chip.
export async function controlIn(device, type, recipient, request, value, index, length) {
  const result = await device.controlTransferIn({ requestType: type, recipient, request, value, index }, length);
  if (result.status !== 'ok' || !result.data || result.data.byteLength < length) {
    throw new Error(`the adapter refused request 0x${request.toString(16)} (${result.status})`);
  }
  return new Uint8Array(result.data.buffer, result.data.byteOffset, result.data.byteLength);
}

// The bulk endpoints of an interface: { in, out, packetSize } (the IN endpoint's packet size).
export function bulkEndpoints(device, interfaceNumber) {
  const found = device.configuration.interfaces.find((i) => i.interfaceNumber === interfaceNumber);
  const endpoints = found?.alternate.endpoints.filter((e) => e.type === 'bulk') ?? [];
  const input = endpoints.find((e) => e.direction === 'in');
  const output = endpoints.find((e) => e.direction === 'out');
  if (!input || !output) throw new Error(`interface ${interfaceNumber} has no bulk endpoints`);
  return { in: input.endpointNumber, out: output.endpointNumber, packetSize: input.packetSize };
}

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
