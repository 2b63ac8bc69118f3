// The update page: takes the update file, checks it with the updater's core, then updates the
// device over the serial port the person chooses, one step after the other as the console updater
// does, with its messages. The core (WebAssembly) runs the update's flow, the checking and the
// transfers; this script does what the person sees, the port (port.js: Web Serial's, or WebUSB's
// where the browser has no Web Serial, as Chrome on Android, or the person asks for it), and
// answers the flow's calls (Module.frontEnd): open the port, the port is open, the EEPROM question. What the page
// shares with the core (event kinds, outcomes, the pause, the port's bound, the keys, texts) comes
// from the core's table (web_table), never from a copy here.
//
// The core's port calls wait on promises (Asyncify): a second call into it while one waits would
// corrupt it. Every call into the core therefore runs in a job, and jobs run one at a time in the
// order they were asked for, whatever asked (a click, a key, a drop, a fetch, a port's event).
import createUpdater from './updater_web.mjs';
import { LINE_SETTINGS } from './port.js';
import { WebSerialPort } from './web_serial.js';
import { WebUsbPort } from './web_usb.js';
// The keys this page takes update files from, made with the page (make web KEY=vendor.pub).
import { TRUSTED_KEYS } from './trusted_keys.js';

// What the page says itself; everything about the file and the device is the core's own text.
const TEXT = {
  insecure: 'This page must be opened over https (or from localhost): browsers let only such pages use serial ports.',
  noWebSerial: 'This browser cannot use serial ports: it has no Web Serial. Open this page in Chrome, Edge or ' +
    'Opera, or in Firefox 151 or later, on a desktop computer. You can still check an update file here.',
  noWebUsb: 'It has no WebUSB either, through which Chrome on Android reaches a USB serial adapter.',
  portLost: (reason) => `The port: ${reason}.`,
  lineErrors: (count) => `The adapter reported ${count === 1 ? 'a line error' : `${count} line errors`} (framing, ` +
    'parity or break) in the device\'s answers, without saying which bytes they damaged.',
  notStarted: 'The page could not start its updater (reload it, or try another browser):',
  badKey: 'This page was made with a key it cannot use, so it takes no update file:',
  otherSite: 'The page loads update files from its own site only:',
  notLoaded: 'The update file could not be loaded:',
  tooLarge: (name, size) => `${name} is no update file: at ${size} bytes it is far larger than one can be.`,
  notRead: (name, reason) => `${name} could not be read: ${reason}`,
  keptForLater: (name) => `${name} arrived during the update: it is checked when you press Check ${name}.`,
  notTaken: (name, chosen) => `${name} arrived after you chose ${chosen}: it was not taken.`,
  noPort: 'No port was chosen. Press Connect to choose the device\'s port.',
  portRefused: 'The browser did not give access to a port:',
  leaving: 'The update is still running. Leaving now can leave the device without a working program.',
  left: (seconds) => `about ${seconds} s left`,
};

// The page's heading for each outcome, by the status the core's table gives it.
const headings = (outcomes) => ({
  [outcomes.completed]: 'Update completed',
  [outcomes.user_break]: 'Update broken off',
  [outcomes.file_error]: 'The update file cannot be used',
  [outcomes.port_error]: 'The serial port cannot be used',
  [outcomes.device_error]: 'The device did not answer correctly',
  [outcomes.flash_burn_error]: 'The device could not write its FLASH',
  [outcomes.eeprom_mismatch]: 'The EEPROM holds other bytes than the file',
  [outcomes.record_not_written]: 'The run record could not be written',
});
// The heading of an EEPROM whose read-back never came in step: nothing found to differ, nothing verified.
const NOT_VERIFIED_HEADING = 'The EEPROM could not be verified';

// No update file is larger than the largest stub's payload with a signature (about 84 MB): a file
// far larger is refused by its size, unread.
const MAX_FILE_BYTES = 128 * 1024 * 1024;

const $ = (id) => document.getElementById(id);
const hex = (value) => value.toString(16).toUpperCase();

let updater = null;
let table = null;         // what the page shares with the core, from the core
let HEADINGS = {};
let BARS = {};            // the progress bars by the event kind that moves them
let run = 0;              // the core's object for the current run, freed when the next begins
let file = null;          // { bytes, name } of the file checked last
let fileUsable = false;
let pendingFile = null;   // a file that arrived during an update, for the next run
let filesTaken = 0;       // the files taken so far: an address's file that comes after the person's is not
let record = '';          // the last run's record, one JSON line
let updating = false;     // an update holds the port, from Connect to its result
let serialUsable = true;
let chooseEeprom = null;  // resolves the EEPROM question
let asking = false;       // the core waits for the EEPROM question's answer
let earlyChoice = null;   // e or Esc pressed before the question, as the console takes such keys
let link = null;          // the port of the running update
// The transport Connect uses: Web Serial where the browser has it, else WebUSB; null with neither.
let Transport = navigator.serial ? WebSerialPort : navigator.usb ? WebUsbPort : null;

// ---- One caller at a time into the core ----------------------------------------------------------

let jobs = Promise.resolve();
let coreCalls = 0;        // calls into the core running now

// Runs job once every job asked for before it has ended; resolves as job does.
function serialized(job) {
  const done = jobs.then(job);
  jobs = done.then(() => {}, () => {});
  return done;
}

// One call into the core, inside a job. While it runs, no button starts a step.
async function core(name, returns, types, args) {
  coreCalls += 1;
  refreshButtons();
  try {
    return await updater.ccall(name, returns, types, args, { async: true });
  } finally {
    coreCalls -= 1;
    refreshButtons();
  }
}

// The buttons that start a step, and whether the page's state lets them.
const stepButtons = { connect: false, 'other-file': false, 'start-again': false, 'write-eeprom': false, 'skip-eeprom': false };

function allow(id, allowed) {
  stepButtons[id] = allowed;
  refreshButtons();
}

function refreshButtons() {
  // While the core waits for the EEPROM question's answer, the question's buttons answer it.
  for (const [id, allowed] of Object.entries(stepButtons)) $(id).disabled = !allowed || (coreCalls > 0 && !asking);
}

// ---- What the person sees -------------------------------------------------------------------------

function setState(state) {
  document.body.dataset.state = state;
}

function show(id, visible) {
  $(id).hidden = !visible;
}

function note(id, text) {
  $(id).textContent = text;
}

function say(text) {
  $('transcript').textContent += text;
}

function onEvent(kind, a, b, c, line) {
  if (kind === table.events.pause_started) {
    // The core watches the line through the pause after the FLASH; keys pressed now answer the
    // EEPROM question in advance.
    setState('pause');
    show('pause-note', true);
    earlyChoice = null;
    return;
  }
  if (BARS[kind]) {
    const bar = BARS[kind];
    $(`${bar}-progress`).value = b;
    $(`${bar}-status`).value = `${hex(a)} ${b}%`;
    const left = c === table.not_known || b === 100 ? '' : TEXT.left(c);
    if ($(`${bar}-left`).textContent !== left) note(`${bar}-left`, left);
    return;
  }
  const item = document.createElement('li');
  item.textContent = line;
  $('differences').append(item);
  show('differences-box', true);
}

function checkEnvironment() {
  if (!window.isSecureContext) return TEXT.insecure;
  if (!Transport) {
    serialUsable = false;
    return `${TEXT.noWebSerial} ${TEXT.noWebUsb}`;
  }
  return '';
}

function showProblem(text) {
  note('environment', text);
  show('environment', true);
}

// ---- The update file ------------------------------------------------------------------------------

// A file the person picked or dropped, or the page's address named: checked in its turn, or, while
// an update runs, kept for the next.
async function takeFile(blob, name) {
  filesTaken += 1;
  if (blob.size > MAX_FILE_BYTES) return note('file-note', TEXT.tooLarge(name, blob.size));
  let bytes;
  try {
    bytes = new Uint8Array(await blob.arrayBuffer());
  } catch (error) {
    return note('file-note', TEXT.notRead(name, error.message));
  }
  if (updating) {
    pendingFile = { bytes, name };
    note('start-again', `Check ${name}`);
    return note('file-note', TEXT.keptForLater(name));
  }
  return serialized(() => checkFile({ bytes, name }));
}

// Copies bytes into the core's memory for the call, and frees them after.
async function withBytes(bytes, call) {
  const at = updater._malloc(bytes.length);
  updater.HEAPU8.set(bytes, at);
  try {
    return await call(at);
  } finally {
    updater._free(at);
  }
}

// A job: the check of the file to update from, from a new run of the core to the file's verdict.
async function checkFile(next) {
  // A new file starts a new transcript; the same file checked again goes on with it.
  if (next !== file) $('transcript').textContent = '';
  file = next;
  resetRun();
  note('file-note', '');
  setState('checking');
  if (run) await core('web_free_run', null, ['number'], [run]);
  run = await core('web_new_run', 'number', ['string'], [file.name]);
  for (const key of TRUSTED_KEYS) {
    const problem = await core('web_trust_key', 'string', ['number', 'string'], [run, key]);
    if (problem) {
      showProblem(`${TEXT.badKey} ${problem}`);
      return setState('unusable');
    }
  }
  const before = $('transcript').textContent.length;
  const status = await withBytes(file.bytes, (at) =>
    core('web_check_file', 'number', ['number', 'number', 'number'], [run, at, file.bytes.length]));
  fileUsable = status === table.outcomes.completed;
  if (!fileUsable) return finish(status);
  const header = (field) => core('web_header', 'string', ['number', 'number'], [run, table.header_fields[field]]);
  note('header-device', await header('device'));
  note('header-version', await header('version'));
  note('header-year', await header('year'));
  note('header-signature', await core('web_signature', 'string', ['number'], [run]));
  note('instructions', (await header('banner')).trim());
  note('file-verdict', $('transcript').textContent.slice(before).trim());
  note('connect-note', '');
  show('file-step', false);
  show('header-step', true);
  allow('connect', serialUsable);
  allow('other-file', true);
  setState('ready');
  $(serialUsable ? 'connect' : 'other-file').focus();
}

async function loadFromAddress(address) {
  let url;
  try {
    url = new URL(address, location.href);
  } catch (error) {
    showProblem(`${TEXT.notLoaded} ${address}: ${error.message}`);
    return;
  }
  if (url.origin !== location.origin) {
    showProblem(`${TEXT.otherSite} ${url.href}`);
    return;
  }
  try {
    const takenBefore = filesTaken;
    const response = await fetch(url);
    if (!response.ok) throw new Error(`${response.status} ${response.statusText}`);
    const blob = await response.blob();
    const name = decodeURIComponent(url.pathname.split('/').pop());
    // The person chose a file meanwhile: theirs counts.
    if (filesTaken !== takenBefore) return note('file-note', TEXT.notTaken(name, file?.name ?? 'another file'));
    await takeFile(blob, name);
  } catch (error) {
    showProblem(`${TEXT.notLoaded} ${url.pathname}: ${error.message}`);
  }
}

// ---- The update -----------------------------------------------------------------------------------

// The browser's chooser is asked for in the click itself, as browsers want it.
function connect() {
  if (updating || !fileUsable) return;
  updating = true;
  allow('connect', false);
  allow('other-file', false);
  const chosen = Transport.request(table.usb_chips);
  chosen.catch(() => {});  // told in its job, which may wait for another
  const transport = Transport;
  serialized(() => updateDevice(chosen, transport)).finally(() => { updating = false; });
}

function connectOverUsb(event) {
  event.preventDefault();
  if ($('connect').disabled) return;
  Transport = WebUsbPort;
  show('usb-instead', false);
  connect();
}

// A job: the update of the device on the port the person chose, to its result.
async function updateDevice(chosen, transport) {
  let port;
  try {
    port = await chosen;
  } catch (error) {
    note('connect-note', transport === WebUsbPort ? WebUsbPort.requestHelp(error)
      : error.name === 'NotFoundError' ? TEXT.noPort : `${TEXT.portRefused} ${error.message}`);
    allow('connect', true);
    allow('other-file', true);
    return;
  }
  note('connect-note', '');
  link = new transport(port, table.write_bound, table.usb_chips);
  return finish(await core('web_update', 'number', ['number'], [run]));
}

// The flow's calls into the page while web_update runs.
const frontEnd = {
  // Opens the chosen port: true when it opened, else its error and help are kept for portText.
  async openPort() {
    try {
      await link.open(LINE_SETTINGS);
    } catch (error) {
      await link.close();
      link.failure = error;
      return false;
    }
    updater.serialPort = link;
    return true;
  },
  // The chosen port's USB ids, the vendor's in the high half; 0 for a port without them.
  portIds() {
    const info = link.describe();
    return info.vendorId * 65536 + info.productId;
  },
  // What the core asks of the port, as the table's port_texts name it.
  portText(which) {
    const info = link.describe();
    const texts = table.port_texts;
    return { [texts.chip]: info.chip, [texts.serial_number]: info.serialNumber,
      [texts.error]: link.failure?.message, [texts.help]: link.failure?.help }[which] ?? '';
  },
  // The port is open: its adapter, and the transfer's panel.
  portOpened(identity) {
    const info = link.describe();
    note('adapter', info.vendorId === 0 ? table.texts.port_name
      : `USB serial adapter ${info.vendorId.toString(16).padStart(4, '0')}:` +
        `${info.productId.toString(16).padStart(4, '0')}${identity ? ` (${identity})` : ''}`);
    show('header-step', false);
    show('transfer-step', true);
    setState('flash');
  },
  // The EEPROM question after the FLASH's pause, unless a key answered it during the pause.
  async askEeprom(advice) {
    show('pause-note', false);
    let write = earlyChoice;
    if (write === null) {
      note('adapter-advice', advice.trim());
      show('eeprom-choice', true);
      asking = true;
      allow('write-eeprom', true);
      allow('skip-eeprom', true);
      setState('eeprom-choice');
      $('write-eeprom').focus();
      write = await new Promise((resolve) => { chooseEeprom = resolve; });
      chooseEeprom = null;
      asking = false;
      allow('write-eeprom', false);
      allow('skip-eeprom', false);
      show('eeprom-choice', false);
    }
    if (write) {
      for (const row of document.querySelectorAll('.eeprom-row')) row.hidden = false;
      setState('eeprom');
    }
    return write;
  },
};

// The end of every run, inside its job: the port closed, the record written, the outcome shown.
async function finish(status) {
  await core('web_end', null, ['number', 'number'], [run, status]);
  note('port-note', [link?.lost ? TEXT.portLost(link.lostReason) : '', link?.lineErrors ? TEXT.lineErrors(link.lineErrors) : '']
    .filter(Boolean).join(' '));
  link = null;
  show('pause-note', false);
  const name = await core('web_outcome_name', 'string', ['number'], [status]);
  $('result').className = status === table.outcomes.completed ? name : 'failed';
  const unverified = status === table.outcomes.eeprom_mismatch &&
    await core('web_eeprom_unverified', 'number', ['number'], [run]) === 1;
  note('result-heading', unverified ? NOT_VERIFIED_HEADING : HEADINGS[status] ?? name);
  note('result-outcome', `Outcome: ${name} (exit status ${status})`);
  note('result-text', (await core('web_result_text', 'string', ['number'], [run])).trim());
  if (!pendingFile) note('start-again', fileUsable ? 'Start again' : 'Choose another file');
  show('file-step', false);
  show('header-step', false);
  show('result', true);
  allow('start-again', true);
  setState('result');
  $('result').focus();
}

function startAgain() {
  allow('start-again', false);
  if (pendingFile || fileUsable) {
    const next = pendingFile ?? file;
    pendingFile = null;
    serialized(() => checkFile(next));
  } else {
    chooseOtherFile();
  }
}

// Back to a fresh run: the panels of the last one cleared.
function resetRun() {
  for (const bar of Object.values(BARS)) {
    $(`${bar}-progress`).value = 0;
    $(`${bar}-status`).value = '';
    note(`${bar}-left`, '');
  }
  $('differences').textContent = '';
  show('differences-box', false);
  for (const row of document.querySelectorAll('.eeprom-row')) row.hidden = true;
  for (const id of ['transfer-step', 'result', 'eeprom-choice', 'pause-note']) show(id, false);
  for (const id of Object.keys(stepButtons)) allow(id, false);
}

function chooseOtherFile() {
  resetRun();
  file = null;
  fileUsable = false;
  $('file-input').value = '';
  show('header-step', false);
  show('file-step', true);
  setState('file');
  $('file-input').focus();
}

function downloadRecord() {
  const anchor = document.createElement('a');
  anchor.href = URL.createObjectURL(new Blob([record], { type: 'application/json' }));
  anchor.download = 'update-record.json';
  anchor.click();
  setTimeout(() => URL.revokeObjectURL(anchor.href), 0);
}

function wirePage() {
  $('file-input').addEventListener('change', (event) => {
    const picked = event.target.files[0];
    if (picked) takeFile(picked, picked.name);
  });
  const zone = $('drop-zone');
  window.addEventListener('dragover', (event) => {
    event.preventDefault();
    zone.classList.add('over');
  });
  window.addEventListener('dragleave', () => zone.classList.remove('over'));
  window.addEventListener('drop', (event) => {
    event.preventDefault();
    zone.classList.remove('over');
    const dropped = event.dataTransfer.files[0];
    if (dropped) takeFile(dropped, dropped.name);
  });
  $('connect').addEventListener('click', connect);
  $('usb-instead').addEventListener('click', connectOverUsb);
  show('usb-instead', Transport === WebSerialPort && Boolean(navigator.usb));
  $('other-file').addEventListener('click', chooseOtherFile);
  $('write-eeprom').addEventListener('click', () => chooseEeprom?.(true));
  $('skip-eeprom').addEventListener('click', () => chooseEeprom?.(false));
  // The console updater's keys work here too: e writes the EEPROM, Esc skips it, also pressed
  // during the pause before the question.
  document.addEventListener('keydown', (event) => {
    const choice = table.keys.write_eeprom.includes(event.key) ? true
      : table.keys.skip_eeprom.includes(event.key) ? false : null;
    if (choice === null) return;
    if (chooseEeprom) chooseEeprom(choice);
    else if (document.body.dataset.state === 'pause') earlyChoice = choice;
  });
  $('start-again').addEventListener('click', startAgain);
  $('download-record').addEventListener('click', downloadRecord);
  window.addEventListener('beforeunload', (event) => {
    if (!updating) return;
    event.preventDefault();
    event.returnValue = TEXT.leaving;
  });
}

async function start() {
  const problem = checkEnvironment();
  if (problem) showProblem(problem);
  if (!window.isSecureContext) {
    $('file-input').disabled = true;
    setState('unusable');
    return;
  }
  try {
    updater = await createUpdater({
      onText: say,
      onEvent,
      onRecord: (line) => { record = line; },
      serialPort: null,
      frontEnd,
    });
    table = JSON.parse(updater.ccall('web_table', 'string', [], []));
  } catch (error) {
    showProblem(`${TEXT.notStarted} ${error.message}`);
    setState('unusable');
    return;
  }
  HEADINGS = headings(table.outcomes);
  BARS = { [table.events.flash_progress]: 'flash', [table.events.eeprom_write_progress]: 'eeprom',
    [table.events.read_back_progress]: 'verify' };
  note('pause-note', table.texts.pause);
  wirePage();
  setState('file');
  const address = new URLSearchParams(location.search).get('file');
  if (address) await loadFromAddress(address);
}

start();
