// The update page: takes the update file, checks it with the updater's core, then updates the
// device over the serial port the person chooses, one step after the other as the console updater
// does, with its messages. The core (WebAssembly) does the checking and the transfers; this script
// does what the person sees and the port (port.js): Web Serial's, or WebUSB's where the browser
// has no Web Serial (Chrome on Android) or the person asks for it.
//
// The core's port calls wait on promises (Asyncify): a second call into it while one waits would
// corrupt it. Every call into the core therefore runs in a job, and jobs run one at a time in the
// order they were asked for, whatever asked (a click, a key, a drop, a fetch, a port's event).
import createUpdater from './updater_web.mjs';
import { LINE_SETTINGS } from './port.js';
import { WebSerialPort } from './web_serial.js';
import { WebUsbPort } from './web_usb.js';

// What the page says itself; everything about the file and the device is the core's own text.
const TEXT = {
  insecure: 'This page must be opened over https (or from localhost): browsers let only such pages use serial ports.',
  noWebSerial: 'This browser cannot use serial ports: it has no Web Serial. Open this page in Chrome, Edge or ' +
    'Opera, or in Firefox 151 or later, on a desktop computer. You can still check an update file here.',
  noWebUsb: 'It has no WebUSB either, through which Chrome on Android reaches a USB serial adapter.',
  portLost: (reason) => `The port: ${reason}.`,
  notStarted: 'The page could not start its updater (reload it, or try another browser):',
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

// The outcomes, by the updater's exit status.
const HEADINGS = [
  'Update completed',
  'Update broken off',
  'The update file cannot be used',
  'The serial port cannot be used',
  'The device did not answer correctly',
  'The device could not write its FLASH',
  'The EEPROM holds other bytes than the file',
];

// The longest a write may take, as the console updater's port allows it.
const WRITE_BOUND = { msPerByte: 10, msFixed: 50 };
// No update file is larger than the largest stub's payload with a signature (about 84 MB): a file
// far larger is refused by its size, unread.
const MAX_FILE_BYTES = 128 * 1024 * 1024;
const NOT_KNOWN = 0xffffffff;  // a progress event's time left, while too few steps are done

const $ = (id) => document.getElementById(id);
const hex = (value) => value.toString(16).toUpperCase();

let updater = null;
let run = 0;              // the core's object for the current run, freed when the next begins
let file = null;          // { bytes, name } of the file checked last
let fileUsable = false;
let pendingFile = null;   // a file that arrived during an update, for the next run
let filesTaken = 0;       // the files taken so far: an address's file that comes after the person's is not
let record = '';          // the last run's record, one JSON line
let updating = false;     // an update holds the port, from Connect to its result
let serialUsable = true;
let completedLines = [];
let chooseEeprom = null;  // resolves the EEPROM question
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
  for (const [id, allowed] of Object.entries(stepButtons)) $(id).disabled = !allowed || coreCalls > 0;
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
  if (text.includes('successfully completed')) completedLines.push(text.trim());
}

const BARS = { 1: 'flash', 2: 'eeprom', 3: 'verify' };
const PAUSE_STARTED = 5;

function onEvent(kind, a, b, c) {
  if (kind === PAUSE_STARTED) {
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
    const left = c === NOT_KNOWN || b === 100 ? '' : TEXT.left(c);
    if ($(`${bar}-left`).textContent !== left) note(`${bar}-left`, left);
    return;
  }
  const item = document.createElement('li');
  item.textContent = `${hex(a)}: ${b === 0xffff ? 'not received' : hex(b)}, expected ${hex(c)}`;
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
  const before = $('transcript').textContent.length;
  const status = await withBytes(file.bytes, (at) =>
    core('web_check_file', 'number', ['number', 'number', 'number'], [run, at, file.bytes.length]));
  fileUsable = status === 0;
  if (!fileUsable) return finish(status);
  const header = (field) => core('web_header', 'string', ['number', 'number'], [run, field]);
  note('header-device', await header(0));
  note('header-version', await header(1));
  note('header-year', await header(2));
  note('instructions', (await header(3)).trim());
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
  const chosen = Transport.request();
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
  link = new transport(port, WRITE_BOUND);
  try {
    await link.open(LINE_SETTINGS);
  } catch (error) {
    await link.close();
    return finish(await core('web_port_failed', 'number', ['number', 'string', 'string'], [run, error.message, error.help ?? '']));
  }
  updater.serialPort = link;
  const info = link.describe();
  const chip = await core('web_port_opened', 'string', ['number', 'number', 'number', 'string', 'string'],
    [run, info.vendorId, info.productId, info.chip, info.serialNumber]);
  note('adapter', info.vendorId === 0 ? 'Serial port'
    : `USB serial adapter ${info.vendorId.toString(16).padStart(4, '0')}:` +
      `${info.productId.toString(16).padStart(4, '0')}${chip ? ` (${chip})` : ''}`);
  show('header-step', false);
  show('transfer-step', true);
  setState('flash');
  const flashed = await core('web_download_flash', 'number', ['number'], [run]);
  show('pause-note', false);
  if (flashed !== 0) return finish(flashed);

  let write = earlyChoice;
  if (write === null) {
    note('adapter-advice', (await core('web_adapter_advice', 'string', ['number'], [run])).trim());
    show('eeprom-choice', true);
    allow('write-eeprom', true);
    allow('skip-eeprom', true);
    setState('eeprom-choice');
    $('write-eeprom').focus();
    write = await new Promise((resolve) => { chooseEeprom = resolve; });
    chooseEeprom = null;
    allow('write-eeprom', false);
    allow('skip-eeprom', false);
    show('eeprom-choice', false);
  }
  if (!write) return finish(0);

  for (const row of document.querySelectorAll('.eeprom-row')) row.hidden = false;
  setState('eeprom');
  return finish(await core('web_download_eeprom', 'number', ['number'], [run]));
}

// The end of every run, inside its job: the port closed, the record written, the outcome shown.
async function finish(status) {
  await core('web_end', null, ['number', 'number'], [run, status]);
  note('port-note', link?.lost ? TEXT.portLost(link.lostReason) : '');
  link = null;
  const name = await core('web_outcome_name', 'string', ['number'], [status]);
  $('result').className = status === 0 ? 'completed' : 'failed';
  note('result-heading', HEADINGS[status] ?? name);
  note('result-outcome', `Outcome: ${name} (exit status ${status})`);
  note('result-text', status === 0 ? completedLines.join('\n')
    : (await core('web_result_text', 'string', ['number'], [run])).trim());
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
  completedLines = [];
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
    const choice = event.key === 'e' || event.key === 'E' ? true : event.key === 'Escape' ? false : null;
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
    });
  } catch (error) {
    showProblem(`${TEXT.notStarted} ${error.message}`);
    setState('unusable');
    return;
  }
  wirePage();
  setState('file');
  const address = new URLSearchParams(location.search).get('file');
  if (address) await loadFromAddress(address);
}

start();
