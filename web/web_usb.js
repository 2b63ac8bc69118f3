// The page's port over WebUSB, for browsers without Web Serial (Chrome on Android): the page
// drives the adapter's chip itself, with the driver of its family (usb_*.js). Which chip an adapter
// has, and the family of requests it speaks, comes from the core's table of USB serial chips.
import { Port } from './port.js';
import { OtherChip, hex4 } from './usb_requests.js';
import { FtdiDriver } from './usb_ftdi.js';
import { Cp210xDriver } from './usb_cp210x.js';
import { Ch341Driver } from './usb_ch341.js';
import { Pl2303Driver } from './usb_pl2303.js';
import { CdcAcmDriver } from './usb_cdc_acm.js';

// A chip's own driver for the chips the table knows; the class's for every other adapter.
const DRIVERS = [FtdiDriver, Cp210xDriver, Ch341Driver, Pl2303Driver, CdcAcmDriver];

// Room for a notification: the chips' are 10 bytes.
const NOTIFICATION_BYTES = 64;

// What the person can do where the phone or the browser says no: one line each.
export const USB_HELP = {
  claimRefused: 'The phone\'s system holds this adapter for itself, so the browser cannot use it. Unplug it and ' +
    'plug it in again, close any app that uses it, or use an adapter with an FTDI, Silicon Labs, WCH or ' +
    'Prolific chip.',
  noPermission: 'The browser was not allowed to use the adapter. Press Connect again and allow it; if no question ' +
    'comes, allow USB devices for this site in the browser\'s site settings.',
  otherFamily: 'This adapter\'s chip is none of those the page drives (FTDI, Silicon Labs CP210x, WCH CH340/CH341, ' +
    'Prolific PL2303 up to the TB, CDC-ACM). Use an adapter with one of them, or the console updater on a computer.',
  pl2303g: (chip) => `This adapter's ${chip} is of Prolific's PL2303G series, which takes other requests than the ` +
    'PL2303 chips before it, and the page does not drive it. Use an adapter with an FTDI, Silicon Labs CP210x, WCH ' +
    'CH340/CH341 or Prolific PL2303HX, TA or TB chip, or the console updater on a computer.',
  noDevice: 'No adapter was chosen. Plug the adapter into the phone (an OTG cable or adapter), then press Connect ' +
    'and choose it.',
  failed: 'The adapter did not take its settings. Unplug it, plug it in again and press Connect.',
};

// The help for a chip the page does not drive, by the family of requests it speaks.
const helpFor = ({ chip, family }) => (family === 'pl2303g' ? USB_HELP.pl2303g(chip) : USB_HELP.otherFamily);

// An adapter that cannot be used, with its plain help line.
class Refusal extends Error {
  constructor(message, help) {
    super(message);
    this.help = help;
  }
}

// The table's entry for the device ({ chip, family }): by its ids, else by its maker for the makers
// whose every product is spoken to alike; undefined for a device the table does not know.
const chipOf = (chips, device) => chips[`${hex4(device.vendorId)}:${hex4(device.productId)}`] ?? chips[hex4(device.vendorId)];

export class WebUsbPort extends Port {
  // The browser's chooser, called in the click that asks for it: it lists the adapters of the makers
  // in the table (chips, the core's usb_chips), and those of the USB serial class.
  static request(chips) {
    const vendors = new Set(Object.keys(chips).map((ids) => parseInt(ids.slice(0, 4), 16)));
    const filters = [...[...vendors].map((vendorId) => ({ vendorId })), { classCode: CdcAcmDriver.classCode }];
    return navigator.usb.requestDevice({ filters });
  }

  // The help for a chooser that gave no device.
  static requestHelp(error) {
    return error.name === 'NotFoundError' ? USB_HELP.noDevice : USB_HELP.noPermission;
  }

  // chips: the core's table of USB serial chips (usb_chips).
  constructor(device, bound, chips) {
    super(bound);
    this.device = device;
    this.chips = chips;
    this.driver = null;
    this.configured = false;
    this.claimed = [];
    this.stopping = false;
    this.forgetDevice = (event) => {
      if (event.device === this.device) this.markLost('the adapter was unplugged');
    };
  }

  async openLine(settings) {
    const device = this.device;
    try {
      await device.open();
      if (!device.configuration) await device.selectConfiguration(1);
    } catch (error) {
      throw new Refusal(error.message, error.name === 'SecurityError' ? USB_HELP.noPermission : USB_HELP.claimRefused);
    }
    const known = chipOf(this.chips, device);
    const Driver = known ? DRIVERS.find((driver) => driver.family === known.family) : CdcAcmDriver;
    if (!Driver) throw new Refusal(`USB ${hex4(device.vendorId)}:${hex4(device.productId)} is a ${known.chip}`, helpFor(known));
    this.driver = new Driver(device, known?.chip);
    try {
      await this.driver.prepare();
    } catch (error) {
      throw new Refusal(error.message, error instanceof OtherChip ? helpFor(error) : USB_HELP.failed);
    }
    for (const number of this.driver.interfaces) {
      try {
        await device.claimInterface(number);
      } catch (error) {
        throw new Refusal(error.message, error.name === 'SecurityError' ? USB_HELP.noPermission : USB_HELP.claimRefused);
      }
      this.claimed.push(number);
    }
    this.configured = true;
    try {
      await this.driver.setUp(settings);
    } catch (error) {
      throw new Refusal(error.message, USB_HELP.failed);
    }
    navigator.usb.addEventListener('disconnect', this.forgetDevice);
    const { in: input, packetSize, notify } = this.driver.endpoints;
    this.pumping = this.transfers(input, packetSize * 4, (data) => this.received(this.driver.payload(data)),
      (error) => this.markLost(`reading failed: ${error.message}`));
    // A lost port is told by the data's transfers; the notifications just end.
    if (notify != null) {
      this.listening = this.transfers(notify, NOTIFICATION_BYTES, (data) => this.lineErrorsReported(this.driver.lineErrors(data)),
        () => {});
    }
  }

  // IN transfers from endpoint one after the other, as long as the port is open, the data of each
  // handed to take; a transfer that failed on the bus (babble) brings nothing to trust, and a stall
  // is cleared. A transfer that throws ends them with failed(error), unless the port is closing.
  async transfers(endpoint, length, take, failed) {
    while (!this.stopping && !this.lost) {
      try {
        const result = await this.device.transferIn(endpoint, length);
        if (result.status === 'stall') await this.device.clearHalt('in', endpoint);
        else if (result.status === 'ok' && result.data) take(result.data);
      } catch (error) {
        if (!this.stopping) failed(error);
        return;
      }
    }
  }

  async send(bytes) {
    const result = await this.device.transferOut(this.driver.endpoints.out, bytes);
    if (result.status !== 'ok' || result.bytesWritten !== bytes.length) {
      throw new Error(`the adapter took ${result.bytesWritten} of ${bytes.length} bytes (${result.status})`);
    }
  }

  // The chip's settings put back where it had them, the interfaces given back, the device closed;
  // closing ends the transfers still waiting.
  async shut() {
    this.stopping = true;
    navigator.usb.removeEventListener('disconnect', this.forgetDevice);
    if (!this.device.opened) return;
    if (this.configured) {
      try {
        await this.driver.restore();
      } catch (error) { /* the adapter keeps the update's settings */ }
    }
    for (const number of this.claimed) {
      try {
        await this.device.releaseInterface(number);
      } catch (error) { /* gone with the device */ }
    }
    try {
      await this.device.close();
    } catch (error) { /* gone with the device */ }
    await this.pumping;
    await this.listening;
  }

  describe() {
    return {
      vendorId: this.device.vendorId,
      productId: this.device.productId,
      chip: this.driver?.chip ?? '',
      serialNumber: this.device.serialNumber ?? '',
    };
  }
}
