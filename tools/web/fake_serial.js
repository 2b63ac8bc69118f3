// A stand-in for the browser's Web Serial, played by the simulated device (loader-sim's device
// model, compiled to WebAssembly): installed before the page's own scripts by `make web` and by the
// page's tests. window.SIMULATED_DEVICE, when set before, scripts it:
//   faults        loader-sim's fault options, e.g. "--reply 499=55" or "--hangup flash:250"
//   strayBeforeAck a byte the device sends unasked just before its acknowledgement
//   strayAtOpen   a byte waiting on the line when the port is opened, as a power-up glitch leaves
//   stallAfter    writes the port takes; the next one never completes (a driver that hangs)
//   latency       milliseconds every answer is held, as a USB adapter's latency timer holds it
//   cancel        the person cancels the browser's port chooser
//   openError     opening the port fails with this message (another program holds it)
//   noWebSerial   the browser has no Web Serial at all
//   banner        false: no line on the page telling that the device is simulated
//   vendor, product  the adapter's USB ids (default an FTDI FT232R)
// window.simulatedDevice then tells what the device holds and how the port was opened.
(() => {
  const config = window.SIMULATED_DEVICE || {};
  if (config.noWebSerial) {
    Object.defineProperty(Navigator.prototype, 'serial', { get: () => undefined, configurable: true });
    return;
  }
  const moduleUrl = new URL('device_sim.mjs', document.currentScript?.src || `${location.origin}/sim/`).href;
  let device = null;

  // A macrotask without the browser's 4 ms floor for nested timers: the device answers at once.
  const channel = new MessageChannel();
  const due = [];
  channel.port1.onmessage = () => due.shift()?.();
  const soon = (work, delayMs) => {
    if (delayMs > 0) {
      setTimeout(work, delayMs);
    } else {
      due.push(work);
      channel.port2.postMessage(0);
    }
  };

  const simulated = {
    openedWith: null,
    requests: 0,
    opens: 0,
    written: 0,
    flash: () => device.HEAPU8.slice(device._sim_flash(), device._sim_flash() + 64000),
    eeprom: () => device.HEAPU8.slice(device._sim_eeprom(), device._sim_eeprom() + 2048),
    records: () => device._sim_records(),
    // When the device answered the FLASH start sequence and the last record (performance.now()).
    flashStartedAt: 0,
    flashFinishedAt: 0,
    // When the device began the EEPROM transfer and took its last byte.
    eepromStartedAt: 0,
    eepromFinishedAt: 0,
    protocolErrors: () => device._sim_protocol_errors(),
  };
  window.simulatedDevice = simulated;

  class SimulatedPort extends EventTarget {
    constructor() {
      super();
      this.readable = null;
      this.writable = null;
      this.gone = false;
    }

    getInfo() {
      return { usbVendorId: config.vendor ?? 0x0403, usbProductId: config.product ?? 0x6001 };
    }

    async open(options) {
      if (config.openError) throw new DOMException(config.openError, 'NetworkError');
      if (this.readable) throw new DOMException('The port is already open.', 'InvalidStateError');
      if (!device) {
        const { default: createDevice } = await import(moduleUrl);
        device = await createDevice();
      }
      if (device.ccall('sim_start', 'number', ['string'], [config.faults || '']) !== 0) {
        throw new Error(`simulated device: bad fault option ${device.ccall('sim_error', 'string', [], [])}`);
      }
      simulated.openedWith = { ...options };
      simulated.opens += 1;
      let controller;
      let first = true;
      let held = [];
      this.readable = new ReadableStream({ start: (c) => { controller = c; } });
      if (config.strayAtOpen !== undefined) controller.enqueue(new Uint8Array([config.strayAtOpen]));
      let writes = 0;
      const send = (bytes) => {
        if (!this.gone && bytes.length > 0) controller.enqueue(new Uint8Array(bytes));
      };
      this.unplug = () => {
        if (this.gone) return;
        this.gone = true;
        controller.error(new DOMException('The device has been lost.', 'NetworkError'));
        this.dispatchEvent(new Event('disconnect'));
        navigator.serial.dispatchEvent(new Event('disconnect'));
      };
      this.writable = new WritableStream({
        write: (chunk) => {
          if (this.gone) throw new DOMException('The device has been lost.', 'NetworkError');
          if (config.stallAfter !== undefined && ++writes > config.stallAfter) return new Promise(() => {});
          // Answers due together leave in one piece, as loader-sim sends them.
          const now = [];
          for (const byte of chunk) {
            simulated.written += 1;
            if (held.length > 0) {
              now.push(...held);
              held = [];
            }
            const step = device._sim_receive(byte);
            // The EEPROM transfer begins and ends with single bytes.
            if (chunk.length === 1) {
              const milestone = device._sim_milestone();
              if (milestone === 3) simulated.eepromStartedAt = performance.now();
              if (milestone === 4) simulated.eepromFinishedAt = performance.now();
            }
            if (step === 2) {
              soon(() => this.unplug(), 0);
              break;
            }
            if (step !== 1) continue;
            if (first) simulated.flashStartedAt = performance.now();
            if (device._sim_records() === 500 && !simulated.flashFinishedAt) simulated.flashFinishedAt = performance.now();
            const answer = [device._sim_reply_byte()];
            const surplus = device._sim_reply_surplus();
            if (surplus >= 0) answer.push(surplus);
            if (first && config.strayBeforeAck !== undefined) answer.unshift(config.strayBeforeAck);
            first = false;
            const delay = device._sim_reply_delay_ms() + (config.latency ?? 0);
            if (device._sim_reply_held()) held.push(...answer);
            else if (delay > 0) soon(() => send(answer), delay);
            else now.push(...answer);
          }
          if (now.length > 0) soon(() => send(now), 0);
        },
      });
    }

    async close() {
      if (!this.readable) throw new DOMException('The port is already closed.', 'InvalidStateError');
      if (this.readable.locked || this.writable.locked) throw new TypeError('The port has a reader or writer.');
      this.readable = this.writable = null;
      if (device) device._sim_reset_transfer();
    }
  }

  const port = new SimulatedPort();
  const serial = new EventTarget();
  serial.requestPort = async () => {
    simulated.requests += 1;
    if (config.cancel) throw new DOMException('No port selected by the user.', 'NotFoundError');
    return port;
  };
  serial.getPorts = async () => [port];
  Object.defineProperty(Navigator.prototype, 'serial', { get: () => serial, configurable: true });

  if (config.banner !== false) {
    document.addEventListener('DOMContentLoaded', () => {
      const line = document.createElement('p');
      line.className = 'note';
      line.textContent = 'Simulated device: the port offered here is a device model in this page, not a real serial port.';
      document.querySelector('main')?.prepend(line);
    });
  }
})();
