// A stand-in for the browser's Web Serial, played by the simulated device (loader-sim's device
// model, compiled to WebAssembly): installed before the page's own scripts by `make web` and by the
// page's tests. window.SIMULATED_DEVICE, when set before, scripts it:
//   faults        loader-sim's fault options, e.g. "--reply 499=55" or "--hangup flash:250"
//   strayBeforeAck a byte the device sends unasked just before its acknowledgement
//   strayAtOpen   a byte waiting on the line when the port is opened, as a power-up glitch leaves
//   stallAfter    writes the port takes; the next one never completes (a driver that hangs)
//   latency       milliseconds every answer is held, as a USB adapter's latency timer holds it
//   framingErrorAt the device's answer byte (counted from 0) that arrives with a framing error: the
//                 browser drops it and ends the port's readable, which it then opens anew
//   cancel        the person cancels the browser's port chooser
//   openError     opening the port fails with this message (another program holds it)
//   noWebSerial   the browser has no Web Serial at all (nor WebUSB, unless usb is set: fake_usb.js)
//   banner        false: no line on the page telling that the device is simulated
//   vendor, product  the adapter's USB ids (default an FTDI FT232R)
// window.simulatedDevice then tells what the device holds and how the port was opened; its
// connect() puts the device on another stand-in's line (fake_usb.js).
(() => {
  const config = window.SIMULATED_DEVICE || {};
  const moduleUrl = new URL('device_sim.mjs', document.currentScript?.src || `${location.origin}/sim/`).href;
  let device = null;

  // A macrotask without the browser's 4 ms floor for nested timers: the device answers at once, and
  // a timer set from a message is no nested one.
  const channel = new MessageChannel();
  const due = [];
  channel.port1.onmessage = () => due.shift()?.();
  const soon = (work, delayMs) => {
    due.push(delayMs > 0 ? () => setTimeout(work, delayMs) : work);
    channel.port2.postMessage(0);
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
    soon,
  };
  window.simulatedDevice = simulated;

  // Starts the device afresh on a line and returns what hands it the host's bytes. Its answers go to
  // answer(bytes), each held latencyMs more; a hang-up fault calls hangUp().
  simulated.connect = async (answer, hangUp, latencyMs = 0) => {
    if (!device) {
      const { default: createDevice } = await import(moduleUrl);
      device = await createDevice();
    }
    if (device.ccall('sim_start', 'number', ['string'], [config.faults || '']) !== 0) {
      throw new Error(`simulated device: bad fault option ${device.ccall('sim_error', 'string', [], [])}`);
    }
    let first = true;
    let held = [];
    let beat = null;  // the heartbeat's timer, from the EEPROM's start to its end
    const stopBeat = () => {
      clearInterval(beat);
      beat = null;
    };
    return (chunk) => {
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
          if (milestone === 3 && device._sim_heartbeat_ms() > 0) {
            const beatByte = device._sim_heartbeat_byte();
            beat = setInterval(() => answer([beatByte]), device._sim_heartbeat_ms());
          }
          if (milestone === 4) stopBeat();
        }
        if (step === 2) {
          stopBeat();
          soon(hangUp, 0);
          break;
        }
        if (step !== 1) continue;
        if (first) simulated.flashStartedAt = performance.now();
        if (device._sim_records() === 500 && !simulated.flashFinishedAt) simulated.flashFinishedAt = performance.now();
        const reply = [device._sim_reply_byte()];
        const surplus = device._sim_reply_surplus();
        if (surplus >= 0) reply.push(surplus);
        if (first && config.strayBeforeAck !== undefined) reply.unshift(config.strayBeforeAck);
        first = false;
        const delay = device._sim_reply_delay_ms() + latencyMs;
        if (device._sim_reply_held()) held.push(...reply);
        else if (delay > 0) soon(() => answer(reply), delay);
        else now.push(...reply);
      }
      if (now.length > 0) soon(() => answer(now), 0);
    };
  };
  simulated.reset = () => device?._sim_reset_transfer();

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
      const deliver = await simulated.connect((bytes) => send(bytes), () => this.unplug(), config.latency ?? 0);
      simulated.openedWith = { ...options };
      simulated.opens += 1;
      let controller;
      this.readable = new ReadableStream({ start: (c) => { controller = c; } });
      if (config.strayAtOpen !== undefined) controller.enqueue(new Uint8Array([config.strayAtOpen]));
      let writes = 0;
      let answered = 0;
      const send = (bytes) => {
        if (this.gone || bytes.length === 0) return;
        const damaged = config.framingErrorAt - answered;
        answered += bytes.length;
        if (!(damaged >= 0 && damaged < bytes.length)) {
          controller.enqueue(new Uint8Array(bytes));
          return;
        }
        if (damaged > 0) controller.enqueue(new Uint8Array(bytes.slice(0, damaged)));
        controller.error(new DOMException('A framing error was detected.', 'FramingError'));
        this.readable = new ReadableStream({ start: (c) => { controller = c; } });
        if (damaged + 1 < bytes.length) controller.enqueue(new Uint8Array(bytes.slice(damaged + 1)));
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
          deliver(chunk);
        },
      });
    }

    async close() {
      if (!this.readable) throw new DOMException('The port is already closed.', 'InvalidStateError');
      if (this.readable.locked || this.writable.locked) throw new TypeError('The port has a reader or writer.');
      this.readable = this.writable = null;
      simulated.reset();
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
  Object.defineProperty(Navigator.prototype, 'serial', { get: () => (config.noWebSerial ? undefined : serial), configurable: true });

  if (config.banner !== false) {
    document.addEventListener('DOMContentLoaded', () => {
      const line = document.createElement('p');
      line.className = 'note';
      line.textContent = 'Simulated device: the port offered here is a device model in this page, not a real serial port.';
      document.querySelector('main')?.prepend(line);
    });
  }
})();
