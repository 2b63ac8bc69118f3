// A stand-in for the browser's WebUSB with one USB serial adapter in it, modelled at the level of its
// chip's control requests, descriptors and endpoints, with the simulated device (fake_serial.js,
// loaded before) on the adapter's line. The chip comes as another program left it: 9600 baud, 7 data
// bits, even parity, hardware flow control. Until the page sets 115200 baud, 8N1 with the chip's own
// requests, every byte crosses the line garbled; while flow control is on, nothing reaches the device.
// window.SIMULATED_DEVICE.usb scripts it:
//   family          'ftdi' (default), 'cp210x', 'ch340', 'pl2303' (an HX), 'cdc' (a WCH CH9102),
//                   'composite' (a board with a network adapter's RNDIS on interfaces 0 and 1 and its
//                   CDC-ACM serial port on 2 and 3, its data interface first)
//   union           composite: false leaves the Union descriptors out of its configuration, and puts
//                   the serial port's communication interface first
//   release         FTDI: the chip's bcdDevice, 0x0600 an FT232R (default), 0x0700 an FT2232H
//   latency         FTDI: the latency timer found in the chip, ms (default 16): a reply that does not
//                   fill a packet is held that long; an idle chip sends its status as often
//   latencyRefused  FTDI: the chip stalls the latency timer's requests (it keeps its timer)
//   framingError    just before the device's nth answer, a byte arrives with a framing error, and
//                   the chip tells it as it does: FTDI in its packet's status, CP210x in its embedded
//                   events (where the page turned them on), PL2303 and CDC-ACM in a notification on
//                   the interrupt endpoint; a CH340 tells nothing
//   babble          the IN transfer waiting when the device sends its nth answer ends in babble,
//                   with a stray byte
//   claimRefused    claimInterface fails, as where the phone's system holds the interface
//   cancel          the person cancels the browser's chooser
//   serialNumber    the adapter's serial number (default none)
//   productId       another product id than the family's own
// Without usb, the adapter is an FT232R, unless noWebSerial or noWebUsb leaves the browser without
// WebUSB. window.simulatedDevice.usb then tells the chip's state: lineSet (whether every write found
// the line at 115200 8N1 with flow control off; null before any), latency, latencyWhileWriting (the
// largest timer while the device took bytes), opens.
(() => {
  const config = window.SIMULATED_DEVICE || {};
  if (config.noWebUsb || (config.noWebSerial && !config.usb)) {
    Object.defineProperty(Navigator.prototype, 'usb', { get: () => undefined, configurable: true });
    return;
  }
  const options = config.usb || {};
  const simulated = window.simulatedDevice;
  const state = { lineSet: null, latency: 0, latencyWhileWriting: 0, opens: 0, requests: 0 };
  simulated.usb = state;

  const DAMAGED_BYTE = 0xe5;
  const garbled = (bytes) => bytes.map((byte) => (byte * 5 + 0x3b) & 0xff);
  const near = (rate) => Math.abs(rate - 115200) < 115200 * 0.02;
  const bulk = (endpointNumber, direction, packetSize) => ({ endpointNumber, direction, type: 'bulk', packetSize });
  const interrupt = (endpointNumber) => ({ endpointNumber, direction: 'in', type: 'interrupt', packetSize: 8 });
  // An interface as WebUSB shows it, with the class-specific descriptors its configuration gives.
  const face = (interfaceNumber, interfaceClass, interfaceSubclass, endpoints, interfaceProtocol = 0, functional = []) =>
    ({ interfaceNumber, alternate: { interfaceClass, interfaceSubclass, interfaceProtocol, endpoints }, functional });
  const vendor = (endpoints) => face(0, 0xff, 0xff, endpoints);
  // A communication interface's header and ACM descriptors, and its Union with its data interface.
  const cdcFunctional = (control, data, union = true) =>
    [[5, 0x24, 0x00, 0x10, 0x01], [4, 0x24, 0x02, 0x02], ...(union ? [[5, 0x24, 0x06, control, data]] : [])];
  // A SERIAL_STATE notification for an interface (PL2303's UART state has the same form).
  const serialState = (interfaceNumber, bits) => [0xa1, 0x20, 0, 0, interfaceNumber, 0, 2, 0, bits, 0];
  const FRAMING = 0x10;

  // A chip: its ids, interfaces, control requests (out: true when taken; in: the bytes, or null to
  // stall), whether its line is set and open for data, and how its IN packets and notifications are
  // made.
  class Chip {
    constructor() {
      this.toHost = [];
      this.notifications = [];
      this.usb = 0x0200;
    }

    flowing() { return true; }

    // The device's answers, as the line brings them.
    fromDevice(bytes) {
      this.toHost.push(...(this.lineSet() ? bytes : garbled(bytes)));
    }

    // A byte the line brought with a framing error: a chip that cannot tell passes it on.
    damaged(byte) {
      this.toHost.push(byte);
    }

    // The next IN transfer's bytes, or null while the chip has nothing to send.
    packet(length) {
      if (this.toHost.length === 0) return null;
      return this.toHost.splice(0, length);
    }

    // When the chip has something for a waiting IN transfer (performance.now() time), or Infinity.
    due() {
      return this.toHost.length > 0 ? 0 : Infinity;
    }
  }

  class Ftdi extends Chip {
    constructor() {
      super();
      this.release = options.release ?? 0x0600;
      this.highSpeed = [0x0700, 0x0800, 0x0900].includes(this.release);
      this.packetSize = this.highSpeed ? 512 : 64;
      this.vendorId = 0x0403;
      this.productId = { 0x0700: 0x6010, 0x0800: 0x6011, 0x0900: 0x6014, 0x1000: 0x6015 }[this.release] ?? 0x6001;
      const port = (n) => face(n, 0xff, 0xff, [bulk(2 * n + 1, 'in', this.packetSize), bulk(2 * n + 2, 'out', this.packetSize)]);
      this.interfaces = this.release === 0x0700 || this.release === 0x0800 ? [port(0), port(1)] : [port(0)];
      this.port = this.interfaces.length > 1 ? 1 : 0;
      this.divisor = 0x4138;  // 9600 baud
      this.data = 0x0207;     // 7 data bits, even parity
      this.flow = 0x01;       // RTS/CTS
      this.latency = options.latency ?? 16;
      state.latency = this.latency;
      this.firstHeldAt = 0;
      this.lastPacketAt = performance.now();
      this.errorPackets = [];
    }

    rate() {
      // The eighths by the chip's code for them.
      const FRACTION = [0, 0.5, 0.25, 0.125, 0.375, 0.625, 0.75, 0.875];
      if (this.highSpeed) {
        if (!(this.divisor & 0x20000)) return 0;
        return 12e6 / ((this.divisor & 0x3fff) + FRACTION[(this.divisor >> 14) & 7]);
      }
      const whole = this.divisor & 0x3fff;
      if (this.divisor === 0) return 3e6;
      if (this.divisor === 1) return 2e6;
      return 3e6 / (whole + FRACTION[(this.divisor >> 14) & 7]);
    }

    lineSet() { return near(this.rate()) && this.data === 0x0008; }

    flowing() { return this.flow === 0; }

    controlOut({ requestType, request, value, index }) {
      const port = request === 0x03 && !this.highSpeed ? 0 : index & 0xff;
      if (requestType !== 'vendor' || port !== this.port) return false;
      switch (request) {
        case 0x00: this.toHost = []; return true;
        case 0x01: return true;
        case 0x02: this.flow = index >> 8; return true;
        case 0x03: this.divisor = value | ((this.highSpeed ? index >> 8 : index) << 16); return true;
        case 0x04: this.data = value; return true;
        case 0x09:
          if (options.latencyRefused || value < 1 || value > 255) return false;
          this.latency = state.latency = value;
          return true;
        default: return false;
      }
    }

    controlIn({ requestType, request, index }) {
      if (requestType !== 'vendor' || (index & 0xff) !== this.port) return null;
      if (request === 0x0a && !options.latencyRefused) return [this.latency];
      if (request === 0x05) return [0x31, 0x60];
      return null;
    }

    fromDevice(bytes) {
      if (this.toHost.length === 0) this.firstHeldAt = performance.now();
      super.fromDevice(bytes);
    }

    // A byte broken on the line goes out at once, in a packet that says so.
    damaged(byte) {
      this.errorPackets.push([0x31, 0x60 | 0x08, byte]);
    }

    // Replies wait for the latency timer unless they fill a packet; an idle chip sends its two status
    // bytes alone each time the timer runs out.
    due() {
      if (this.errorPackets.length > 0 || this.toHost.length >= this.packetSize - 2) return 0;
      return (this.toHost.length > 0 ? this.firstHeldAt : this.lastPacketAt) + this.latency;
    }

    packet(length) {
      const now = performance.now();
      if (this.due() > now) return null;
      this.lastPacketAt = now;
      if (this.errorPackets.length > 0) return this.errorPackets.shift();
      const bytes = [];
      do {
        bytes.push(0x31, 0x60, ...this.toHost.splice(0, this.packetSize - 2));
      } while (this.toHost.length > 0 && bytes.length + this.packetSize <= length);
      this.firstHeldAt = now;
      return bytes;
    }
  }

  // A CP2102: with events embedded (EMBED_EVENTS with an escape character), the data byte ESCAPE
  // goes as ESCAPE 0, and a byte received with a framing error as ESCAPE 1, its line status, itself.
  class Cp210x extends Chip {
    constructor() {
      super();
      Object.assign(this, { vendorId: 0x10c4, productId: 0xea60, release: 0x0100 });
      this.interfaces = [vendor([bulk(1, 'in', 64), bulk(1, 'out', 64)])];
      Object.assign(this, { enabled: false, rate: 9600, lineControl: 0x0720, handshake: 0x09, replace: 0x80, escape: null });
    }

    lineSet() { return this.enabled && near(this.rate) && this.lineControl === 0x0800; }

    // CTS handshake, RTS flow control, XON/XOFF.
    flowing() { return this.enabled && !(this.handshake & 0x08) && (this.replace & 0xc0) !== 0x80 && !(this.replace & 0x03); }

    fromDevice(bytes) {
      for (const byte of this.lineSet() ? bytes : garbled(bytes)) this.toHost.push(...(byte === this.escape ? [byte, 0] : [byte]));
    }

    damaged(byte) {
      this.toHost.push(...(this.escape === null ? [byte] : [this.escape, 1, 0x08, byte]));
    }

    controlOut({ requestType, recipient, request, value, index }, data) {
      if (requestType !== 'vendor' || recipient !== 'interface' || index !== 0) return false;
      const word = (at) => data[at] | (data[at + 1] << 8) | (data[at + 2] << 16) | (data[at + 3] << 24);
      switch (request) {
        // Disabling the UART ends the embedded events.
        case 0x00: this.enabled = value === 1; if (!this.enabled) this.escape = null; return true;
        case 0x03: this.lineControl = value; return true;
        case 0x07: return true;
        case 0x13: if (data.length !== 16) return false; [this.handshake, this.replace] = [word(0), word(4)]; return true;
        case 0x15: this.escape = value === 0 ? null : value & 0xff; return true;
        case 0x1e: if (data.length !== 4) return false; this.rate = word(0); return true;
        default: return false;
      }
    }

    // The part number, a CP2102's.
    controlIn({ requestType, recipient, request, value }) {
      if (requestType === 'vendor' && recipient === 'device' && request === 0xff && value === 0x370b) return [0x02, 0x00];
      return null;
    }
  }

  class Ch340 extends Chip {
    constructor() {
      super();
      Object.assign(this, { vendorId: 0x1a86, productId: 0x7523, release: 0x0264 });
      this.interfaces = [vendor([bulk(2, 'in', 32), bulk(2, 'out', 32), interrupt(1)])];
      this.started = false;
      // Prescaler and divisor for 9600 baud; line control 7 bits, even parity; RTS/CTS on.
      this.registers = { 0x12: 0x02, 0x13: 0xb2, 0x18: 0xda, 0x25: 0, 0x27: 0x01 };
    }

    rate() {
      const prescaler = this.registers[0x12];
      const divider = 1 << (12 - 3 * (prescaler & 3) - ((prescaler >> 2) & 1));
      return 48e6 / (divider * (256 - this.registers[0x13]));
    }

    lineSet() { return this.started && near(this.rate()) && this.registers[0x18] === 0xc3; }

    flowing() { return this.started && this.registers[0x27] === 0; }

    controlOut({ requestType, request, value, index }) {
      if (requestType !== 'vendor') return false;
      if (request === 0xa1) this.started = true;
      else if (request === 0x9a) {
        this.registers[value & 0xff] = index & 0xff;
        this.registers[value >> 8] = index >> 8;
      } else if (request !== 0xa4) return false;
      return true;
    }

    controlIn({ requestType, request }) {
      if (requestType !== 'vendor' || request !== 0x5f) return null;
      return [0x31, 0x00];
    }
  }

  // A PL2303HX, of USB 1.1: its UART state comes on the interrupt endpoint.
  class Pl2303 extends Chip {
    constructor() {
      super();
      Object.assign(this, { vendorId: 0x067b, productId: 0x2303, release: 0x0300, usb: 0x0110 });
      this.interfaces = [vendor([interrupt(1), bulk(2, 'out', 64), bulk(3, 'in', 64)])];
      this.written = [];
      this.registers = { 0: 0x61 };
      this.coding = [0x80, 0x25, 0, 0, 0, 2, 7];
    }

    // The vendor start-up sequence, in its order, before anything moves.
    started() {
      const sequence = ['404=0', '404=1', '0=1', '1=0', '2=44'];
      let at = 0;
      for (const write of this.written) if (write === sequence[at]) at += 1;
      return at === sequence.length;
    }

    lineSet() { return this.started() && this.coding.join() === [0x00, 0xc2, 0x01, 0x00, 0, 0, 8].join(); }

    flowing() { return this.started() && (this.registers[0] & 0xf0) === 0; }

    damaged(byte) {
      super.damaged(byte);
      this.notifications.push(serialState(0, FRAMING));
    }

    controlOut({ requestType, recipient, request, value, index }, data) {
      if (requestType === 'vendor' && request === 0x01) {
        this.written.push(`${value.toString(16)}=${index.toString(16)}`);
        this.registers[value] = index;
        return true;
      }
      if (requestType !== 'class' || recipient !== 'interface' || index !== 0) return false;
      if (request === 0x20 && data.length === 7) this.coding = Array.from(data);
      else if (request !== 0x22) return false;
      return true;
    }

    controlIn({ requestType, request, value }) {
      if (requestType !== 'vendor' || request !== 0x01) return null;
      return [value === 0x80 ? this.registers[0] : 0x02];
    }
  }

  // A CDC-ACM adapter (WCH's CH9102): the line coding on the communication interface, the data on
  // the data interface.
  class Cdc extends Chip {
    constructor() {
      super();
      Object.assign(this, { vendorId: 0x1a86, productId: 0x55d4, release: 0x0443, deviceClass: 0x02 });
      this.serial = 0;
      this.interfaces = [face(0, 0x02, 0x02, [interrupt(3)], 0x01, cdcFunctional(0, 1)),
        face(1, 0x0a, 0x00, [bulk(2, 'in', 64), bulk(1, 'out', 64)])];
      this.coding = [0x80, 0x25, 0, 0, 0, 2, 7];
    }

    lineSet() { return this.coding.join() === [0x00, 0xc2, 0x01, 0x00, 0, 0, 8].join(); }

    damaged(byte) {
      super.damaged(byte);
      this.notifications.push(serialState(this.serial, FRAMING));
    }

    // Line coding and control lines on the serial port's communication interface; any other function
    // (RNDIS) stalls them.
    controlOut({ requestType, recipient, request, index }, data) {
      if (requestType !== 'class' || recipient !== 'interface' || index !== this.serial) return false;
      if (request === 0x20 && data.length === 7) this.coding = Array.from(data);
      else if (request !== 0x22) return false;
      return true;
    }

    controlIn() { return null; }
  }

  // A board whose first function is a network adapter (RNDIS: class 2, subclass 2, protocol FF, and
  // its data interface), its serial port after it. With Union descriptors, the serial port's data
  // interface comes first (2, its communication interface 3), as only the Union tells; without, its
  // communication interface does.
  class Composite extends Cdc {
    constructor() {
      super();
      Object.assign(this, { vendorId: 0x1209, productId: 0x2323, release: 0x0100, deviceClass: 0xef });
      const union = options.union ?? true;
      const [control, data] = union ? [3, 2] : [2, 3];
      this.serial = control;
      this.interfaces = [
        face(0, 0x02, 0x02, [interrupt(1)], 0xff, cdcFunctional(0, 1, union)),
        face(1, 0x0a, 0x00, [bulk(2, 'in', 64), bulk(2, 'out', 64)]),
        face(control, 0x02, 0x02, [interrupt(3)], 0x01, cdcFunctional(control, data, union)),
        face(data, 0x0a, 0x00, [bulk(4, 'in', 64), bulk(4, 'out', 64)]),
      ].sort((a, b) => a.interfaceNumber - b.interfaceNumber);
    }
  }

  // The standard descriptors, as the chip's interfaces and ids make them.
  const le16 = (value) => [value & 0xff, value >> 8];
  const deviceDescriptor = (device, chip) => [18, 0x01, ...le16(chip.usb), device.deviceClass, 0, 0, 64,
    ...le16(device.vendorId), ...le16(device.productId), ...le16(chip.release), 1, 2, device.serialNumber ? 3 : 0, 1];
  function configurationDescriptor(interfaces) {
    const body = [];
    for (const { interfaceNumber, alternate, functional } of interfaces) {
      body.push(9, 0x04, interfaceNumber, 0, alternate.endpoints.length, alternate.interfaceClass,
        alternate.interfaceSubclass, alternate.interfaceProtocol, 0);
      for (const descriptor of functional) body.push(...descriptor);
      for (const e of alternate.endpoints) {
        body.push(7, 0x05, (e.direction === 'in' ? 0x80 : 0) | e.endpointNumber, e.type === 'bulk' ? 2 : 3, ...le16(e.packetSize),
          e.type === 'bulk' ? 0 : 16);
      }
    }
    return [9, 0x02, ...le16(9 + body.length), interfaces.length, 1, 0, 0x80, 50, ...body];
  }

  const CHIPS = { ftdi: Ftdi, cp210x: Cp210x, ch340: Ch340, pl2303: Pl2303, cdc: Cdc, composite: Composite };
  const usb = new EventTarget();
  const view = (bytes) => new DataView(new Uint8Array(bytes).buffer);

  class SimulatedUsbDevice {
    constructor() {
      this.chip = new CHIPS[options.family ?? 'ftdi']();
      const { vendorId, productId, release, usb: version } = this.chip;
      Object.assign(this, { vendorId, productId: options.productId ?? productId, deviceClass: this.chip.deviceClass ?? 0 });
      [this.usbVersionMajor, this.usbVersionMinor, this.usbVersionSubminor] = [version >> 8, (version >> 4) & 0xf, version & 0xf];
      this.deviceVersionMajor = release >> 8;
      this.deviceVersionMinor = (release >> 4) & 0xf;
      this.deviceVersionSubminor = release & 0xf;
      this.serialNumber = options.serialNumber ?? null;
      this.productName = 'USB serial adapter';
      this.configurations = [{ configurationValue: 1, interfaces: this.chip.interfaces }];
      this.configuration = null;
      this.opened = false;
      this.gone = false;
      this.claimed = new Set();
      this.waiting = [];    // IN transfers on the data's bulk endpoint
      this.listening = [];  // IN transfers on an interrupt endpoint
      this.babbles = [];
      this.answers = 0;
      this.deliver = null;
    }

    check(interfaceNumber) {
      if (this.gone) throw new DOMException('The device was disconnected.', 'NotFoundError');
      if (!this.opened) throw new DOMException('The device must be opened first.', 'InvalidStateError');
      if (interfaceNumber !== undefined && !this.claimed.has(interfaceNumber)) {
        throw new DOMException('The specified endpoint is not part of a claimed and selected alternate interface.', 'NotFoundError');
      }
    }

    endpoint(number, direction) {
      for (const { interfaceNumber, alternate } of this.chip.interfaces) {
        const found = alternate.endpoints.find((e) => e.endpointNumber === number && e.direction === direction);
        if (found) {
          this.check(interfaceNumber);
          return found;
        }
      }
      throw new DOMException('The specified endpoint number is out of range.', 'IndexSizeError');
    }

    // An answer of the device: the faults due with it, then the answer, as the chip brings them.
    answered(bytes) {
      this.answers += 1;
      if (options.framingError === this.answers) this.chip.damaged(DAMAGED_BYTE);
      if (options.babble === this.answers) this.babbles.push([DAMAGED_BYTE]);
      this.chip.fromDevice(bytes);
      this.serve();
    }

    async open() {
      if (this.gone) throw new DOMException('The device was disconnected.', 'NotFoundError');
      this.opened = true;
      state.opens += 1;
      this.deliver = await simulated.connect((bytes) => this.answered(bytes), () => this.unplug());
    }

    async selectConfiguration() {
      this.check();
      this.configuration = this.configurations[0];
    }

    async claimInterface(number) {
      this.check();
      if (!this.configuration) throw new DOMException('The device must have a configuration selected.', 'InvalidStateError');
      if (options.claimRefused) throw new DOMException('Unable to claim interface.', 'NetworkError');
      this.claimed.add(number);
    }

    async releaseInterface(number) {
      this.check();
      this.claimed.delete(number);
      this.abort();
    }

    async controlTransferOut(setup, data) {
      this.check();
      const bytes = data === undefined ? new Uint8Array(0) : new Uint8Array(data.buffer ?? data, data.byteOffset ?? 0, data.byteLength);
      const taken = this.chip.controlOut(setup, bytes);
      return { status: taken ? 'ok' : 'stall', bytesWritten: taken ? bytes.length : 0 };
    }

    // GET_DESCRIPTOR for the device and its configuration; every other request goes to the chip.
    async controlTransferIn(setup, length) {
      this.check();
      const { requestType, recipient, request, value } = setup;
      const standard = requestType === 'standard' && recipient === 'device' && request === 0x06;
      const bytes = !standard ? this.chip.controlIn(setup)
        : { 1: () => deviceDescriptor(this, this.chip), 2: () => configurationDescriptor(this.chip.interfaces) }[value >> 8]?.();
      if (!bytes) return { status: 'stall', data: null };
      return { status: 'ok', data: view(bytes.slice(0, length)) };
    }

    async transferOut(number, data) {
      this.endpoint(number, 'out');
      const bytes = Array.from(new Uint8Array(data.buffer ?? data, data.byteOffset ?? 0, data.byteLength));
      state.lineSet = state.lineSet !== false && this.chip.lineSet() && this.chip.flowing();
      if (this.chip.flowing()) {
        if (this.chip.lineSet()) {
          state.latencyWhileWriting = Math.max(state.latencyWhileWriting, state.latency);
          this.deliver(bytes);
        } else {
          this.deliver(garbled(bytes));
        }
      }
      return { status: 'ok', bytesWritten: bytes.length };
    }

    transferIn(number, length) {
      const { type } = this.endpoint(number, 'in');
      return new Promise((resolve, reject) => {
        (type === 'interrupt' ? this.listening : this.waiting).push({ length, resolve, reject });
        this.serve();
      });
    }

    // Answers the waiting IN transfers with what the chip has to send, now or when it is due: its
    // notifications first, as an interrupt endpoint is polled ahead of the data.
    serve() {
      while (this.listening.length > 0 && this.chip.notifications.length > 0) {
        this.listening.shift().resolve({ status: 'ok', data: view(this.chip.notifications.shift()) });
      }
      while (this.waiting.length > 0 && this.babbles.length > 0) {
        this.waiting.shift().resolve({ status: 'babble', data: view(this.babbles.shift()) });
      }
      while (this.waiting.length > 0) {
        const bytes = this.chip.packet(this.waiting[0].length);
        if (!bytes) break;
        this.waiting.shift().resolve({ status: 'ok', data: view(bytes) });
      }
      const due = this.chip.due();
      if (this.waiting.length === 0 || due === Infinity || this.timer) return;
      this.timer = true;
      simulated.soon(() => {
        this.timer = false;
        this.serve();
      }, Math.max(0, due - performance.now()));
    }

    // Every waiting transfer ends, as error says.
    endTransfers(error) {
      for (const { reject } of [...this.waiting.splice(0), ...this.listening.splice(0)]) reject(error);
    }

    abort() {
      this.endTransfers(new DOMException('The transfer was cancelled.', 'AbortError'));
    }

    async clearHalt() {
      this.check();
    }

    async close() {
      this.check();
      this.abort();
      this.opened = false;
      this.claimed.clear();
      simulated.reset();
    }

    unplug() {
      if (this.gone) return;
      this.gone = true;
      this.opened = false;
      this.endTransfers(new DOMException('A transfer error has occurred.', 'NetworkError'));
      const event = new Event('disconnect');
      event.device = this;
      usb.dispatchEvent(event);
    }
  }

  const adapter = new SimulatedUsbDevice();
  const matches = (filter) => (filter.vendorId === undefined || filter.vendorId === adapter.vendorId) &&
    (filter.productId === undefined || filter.productId === adapter.productId) &&
    (filter.classCode === undefined || filter.classCode === adapter.deviceClass ||
      adapter.chip.interfaces.some((i) => i.alternate.interfaceClass === filter.classCode));
  usb.requestDevice = async ({ filters }) => {
    state.requests += 1;
    if (!navigator.userActivation.isActive) throw new DOMException('Must be handling a user gesture to show a permission request.', 'SecurityError');
    if (options.cancel || !filters.some(matches)) throw new DOMException('No device selected.', 'NotFoundError');
    return adapter;
  };
  usb.getDevices = async () => [adapter];
  Object.defineProperty(Navigator.prototype, 'usb', { get: () => usb, configurable: true });
})();
