// The page's port over WebUSB, for browsers without Web Serial (Chrome on Android): the page
// drives the adapter's chip itself, with the driver of its family (usb_*.js).
import { Port } from './port.js';
import { FtdiDriver } from './usb_ftdi.js';
import { Cp210xDriver } from './usb_cp210x.js';
import { Ch341Driver } from './usb_ch341.js';
import { Pl2303Driver } from './usb_pl2303.js';
import { CdcAcmDriver } from './usb_cdc_acm.js';

// In the order they are tried: a chip's own driver before the class.
const DRIVERS = [FtdiDriver, Cp210xDriver, Ch341Driver, Pl2303Driver, CdcAcmDriver];

// What the browser's chooser lists: the four chip makers' adapters and the CDC-ACM class.
export const USB_FILTERS = [
  { vendorId: 0x0403 },
  { vendorId: 0x10c4 },
  { vendorId: 0x1a86 },
  { vendorId: 0x067b },
  { classCode: 0x02 },
];

// What the person can do where the phone or the browser says no: one line each.
export const USB_HELP = {
  claimRefused: 'The phone\'s system holds this adapter for itself, so the browser cannot use it. Unplug it and ' +
    'plug it in again, close any app that uses it, or use an adapter with an FTDI, Silicon Labs, WCH or ' +
    'Prolific chip.',
  noPermission: 'The browser was not allowed to use the adapter. Press Connect again and allow it; if no question ' +
    'comes, allow USB devices for this site in the browser\'s site settings.',
  otherFamily: 'This adapter\'s chip is none of those the page drives (FTDI, Silicon Labs CP210x, WCH CH340/CH341, ' +
    'Prolific PL2303, CDC-ACM). Use an adapter with one of them, or the console updater on a computer.',
  noDevice: 'No adapter was chosen. Plug the adapter into the phone (an OTG cable or adapter), then press Connect ' +
    'and choose it.',
  failed: 'The adapter did not take its settings. Unplug it, plug it in again and press Connect.',
};

// An adapter that cannot be used, with its plain help line.
class Refusal extends Error {
  constructor(message, help) {
    super(message);
    this.help = help;
  }
}

export class WebUsbPort extends Port {
  // The browser's chooser; called in the click that asks for it.
  static request() {
    return navigator.usb.requestDevice({ filters: USB_FILTERS });
  }

  // The help for a chooser that gave no device.
  static requestHelp(error) {
    return error.name === 'NotFoundError' ? USB_HELP.noDevice : USB_HELP.noPermission;
  }

  constructor(device, bound) {
    super(bound);
    this.device = device;
    this.driver = null;
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
    const Driver = DRIVERS.find((driver) => driver.matches(device));
    if (!Driver) throw new Refusal(`USB ${hex4(device.vendorId)}:${hex4(device.productId)} is no serial adapter the page knows`, USB_HELP.otherFamily);
    this.driver = new Driver(device);
    for (const number of this.driver.interfaces) {
      try {
        await device.claimInterface(number);
      } catch (error) {
        throw new Refusal(error.message, error.name === 'SecurityError' ? USB_HELP.noPermission : USB_HELP.claimRefused);
      }
      this.claimed.push(number);
    }
    try {
      await this.driver.setUp(settings);
    } catch (error) {
      throw new Refusal(error.message, USB_HELP.failed);
    }
    navigator.usb.addEventListener('disconnect', this.forgetDevice);
    this.pumping = this.pump();
  }

  // IN transfers one after the other, a few packets each, as long as the port is open.
  async pump() {
    const { in: endpoint, packetSize } = this.driver.endpoints;
    while (!this.stopping && !this.lost) {
      try {
        const result = await this.device.transferIn(endpoint, packetSize * 4);
        if (result.status === 'stall') await this.device.clearHalt('in', endpoint);
        else if (result.data) this.received(this.driver.payload(result.data));
      } catch (error) {
        if (!this.stopping) this.markLost(`reading failed: ${error.message}`);
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
    if (this.driver?.endpoints) {
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

const hex4 = (value) => value.toString(16).padStart(4, '0');
