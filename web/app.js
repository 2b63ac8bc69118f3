// The update page: takes the update file, checks it with the updater's core, then updates the
// device over the serial port the person chooses, one step after the other as the console updater
// does, with its messages. The core (WebAssembly) does the checking and the transfers; this script
// does what the person sees and the Web Serial port.
import createUpdater from './updater_web.mjs';
import { SerialLink } from './serial_link.js';

// What the page says itself; everything about the file and the device is the core's own text.
const TEXT = {
  insecure: 'This page must be opened over https (or from localhost): browsers let only such pages use serial ports.',
  noWebSerial: 'This browser cannot use serial ports: it has no Web Serial. Open this page in Chrome, Edge or ' +
    'Opera, or in Firefox 151 or later, on a desktop computer. You can still check an update file here.',
  notStarted: 'The page could not start its updater (reload it, or try another browser):',
  otherSite: 'The page loads update files from its own site only:',
  notLoaded: 'The update file could not be loaded:',
  noPort: 'No port was chosen. Press Connect to choose the device\'s port.',
  portRefused: 'The browser did not give access to a port:',
  portLost: 'The serial port went away during the update: the adapter was unplugged, or its connection failed.',
  leaving: 'The update is still running. Leaving now can leave the device without a working program.',
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

const PAUSE_AFTER_FLASH_MS = 5000;

const $ = (id) => document.getElementById(id);
const hex = (value) => value.toString(16).toUpperCase();

let updater = null;
let run = 0;              // the core's object for the current run, freed when the next begins
let file = null;          // { bytes, name } of the file checked last
let fileUsable = false;
let record = '';          // the last run's record, one JSON line
let busy = false;         // a port is open: leaving would cut the update short
let serialUsable = true;
let completedLines = [];
let chooseEeprom = null;  // resolves the EEPROM question
let link = null;          // the port of the running update

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

function onEvent(kind, a, b, c) {
  switch (kind) {
    case 1:
      $('flash-progress').value = b;
      $('flash-status').value = `${hex(a)} ${b}%`;
      break;
    case 2:
      $('eeprom-progress').value = b;
      $('eeprom-status').value = `${hex(a)} ${b}%`;
      break;
    case 3:
      $('verify-progress').value = b;
      $('verify-status').value = `${hex(a)} ${b}%`;
      break;
    case 4: {
      const item = document.createElement('li');
      item.textContent = `${hex(a)}: ${b === 0xffff ? 'not received' : hex(b)}, expected ${hex(c)}`;
      $('differences').append(item);
      show('differences-box', true);
      break;
    }
  }
}

function checkEnvironment() {
  if (!window.isSecureContext) return TEXT.insecure;
  if (!navigator.serial) {
    serialUsable = false;
    return TEXT.noWebSerial;
  }
  return '';
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

async function checkFile() {
  resetRun();
  setState('checking');
  if (run) updater.ccall('web_free_run', null, ['number'], [run]);
  run = updater.ccall('web_new_run', 'number', ['string'], [file.name]);
  const before = $('transcript').textContent.length;
  const status = await withBytes(file.bytes, (at) =>
    updater.ccall('web_check_file', 'number', ['number', 'number', 'number'], [run, at, file.bytes.length],
      { async: true }));
  fileUsable = status === 0;
  if (!fileUsable) return finish(status);
  const header = (field) => updater.ccall('web_header', 'string', ['number', 'number'], [run, field]);
  note('header-device', header(0));
  note('header-version', header(1));
  note('header-year', header(2));
  note('instructions', header(3).trim());
  note('file-verdict', $('transcript').textContent.slice(before).trim());
  note('connect-note', '');
  show('file-step', false);
  show('header-step', true);
  $('connect').disabled = !serialUsable;
  setState('ready');
  $(serialUsable ? 'connect' : 'other-file').focus();
}

async function takeFile(bytes, name) {
  file = { bytes, name };
  $('transcript').textContent = '';
  await checkFile();
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
    const response = await fetch(url);
    if (!response.ok) throw new Error(`${response.status} ${response.statusText}`);
    await takeFile(new Uint8Array(await response.arrayBuffer()), decodeURIComponent(url.pathname.split('/').pop()));
  } catch (error) {
    showProblem(`${TEXT.notLoaded} ${url.pathname}: ${error.message}`);
  }
}

function showProblem(text) {
  note('environment', text);
  show('environment', true);
}

async function connect() {
  let port;
  try {
    port = await navigator.serial.requestPort();
  } catch (error) {
    note('connect-note', error.name === 'NotFoundError' ? TEXT.noPort : `${TEXT.portRefused} ${error.message}`);
    return;
  }
  note('connect-note', '');
  busy = true;
  $('connect').disabled = $('other-file').disabled = true;
  link = new SerialLink(port);
  try {
    await link.open();
  } catch (error) {
    const status = await updater.ccall('web_port_failed', 'number', ['number', 'string'], [run, error.message],
      { async: true });
    return finish(status);
  }
  updater.serialPort = link;
  const info = port.getInfo();
  const chip = updater.ccall('web_port_opened', 'string', ['number', 'number', 'number'],
    [run, info.usbVendorId ?? 0, info.usbProductId ?? 0]);
  note('adapter', info.usbVendorId === undefined ? 'Serial port'
    : `USB serial adapter ${info.usbVendorId.toString(16).padStart(4, '0')}:` +
      `${info.usbProductId.toString(16).padStart(4, '0')}${chip ? ` (${chip})` : ''}`);
  show('header-step', false);
  show('transfer-step', true);
  setState('flash');
  const flashed = await updater.ccall('web_download_flash', 'number', ['number'], [run], { async: true });
  if (flashed !== 0) return finish(flashed);

  setState('pause');
  show('pause-note', true);
  await new Promise((resolve) => setTimeout(resolve, PAUSE_AFTER_FLASH_MS));
  show('pause-note', false);
  show('eeprom-choice', true);
  setState('eeprom-choice');
  $('write-eeprom').focus();
  const write = await new Promise((resolve) => { chooseEeprom = resolve; });
  chooseEeprom = null;
  show('eeprom-choice', false);
  if (!write) return finish(0);

  for (const row of document.querySelectorAll('.eeprom-row')) row.hidden = false;
  setState('eeprom');
  return finish(await updater.ccall('web_download_eeprom', 'number', ['number'], [run], { async: true }));
}

// The end of every run: the port closed, the record written, the outcome shown.
async function finish(status) {
  await updater.ccall('web_end', null, ['number', 'number'], [run, status], { async: true });
  busy = false;
  const name = updater.ccall('web_outcome_name', 'string', ['number'], [status]);
  $('result').className = status === 0 ? 'completed' : 'failed';
  note('result-heading', HEADINGS[status] ?? name);
  note('result-outcome', `Outcome: ${name} (exit status ${status})`);
  const lost = link?.lost ? `${TEXT.portLost}\n` : '';
  link = null;
  note('result-text', status === 0 ? completedLines.join('\n') : lost + updater.ccall('web_result_text', 'string', ['number'], [run]).trim());
  note('start-again', fileUsable ? 'Start again' : 'Choose another file');
  show('file-step', false);
  show('header-step', false);
  show('result', true);
  setState('result');
  $('result').focus();
}

// Back to a fresh run: the panels of the last one cleared.
function resetRun() {
  completedLines = [];
  for (const id of ['flash', 'eeprom', 'verify']) {
    $(`${id}-progress`).value = 0;
    $(`${id}-status`).value = '';
  }
  $('differences').textContent = '';
  show('differences-box', false);
  for (const row of document.querySelectorAll('.eeprom-row')) row.hidden = true;
  for (const id of ['transfer-step', 'result', 'eeprom-choice', 'pause-note']) show(id, false);
  $('connect').disabled = $('other-file').disabled = false;
}

function chooseOtherFile() {
  resetRun();
  file = null;
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
  $('file-input').addEventListener('change', async (event) => {
    const picked = event.target.files[0];
    if (picked) await takeFile(new Uint8Array(await picked.arrayBuffer()), picked.name);
  });
  const zone = $('drop-zone');
  window.addEventListener('dragover', (event) => {
    event.preventDefault();
    zone.classList.add('over');
  });
  window.addEventListener('dragleave', () => zone.classList.remove('over'));
  window.addEventListener('drop', async (event) => {
    event.preventDefault();
    zone.classList.remove('over');
    const dropped = event.dataTransfer.files[0];
    if (dropped && document.body.dataset.state === 'file') {
      await takeFile(new Uint8Array(await dropped.arrayBuffer()), dropped.name);
    }
  });
  $('connect').addEventListener('click', connect);
  $('other-file').addEventListener('click', chooseOtherFile);
  $('write-eeprom').addEventListener('click', () => chooseEeprom?.(true));
  $('skip-eeprom').addEventListener('click', () => chooseEeprom?.(false));
  // The console updater's keys work here too: e writes the EEPROM, Esc skips it.
  document.addEventListener('keydown', (event) => {
    if (!chooseEeprom) return;
    if (event.key === 'e' || event.key === 'E') chooseEeprom(true);
    else if (event.key === 'Escape') chooseEeprom(false);
  });
  $('start-again').addEventListener('click', () => (fileUsable ? checkFile() : chooseOtherFile()));
  $('download-record').addEventListener('click', downloadRecord);
  window.addEventListener('beforeunload', (event) => {
    if (!busy) return;
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
