// The program's native side as the documents see it: functions called by
// name that answer with one value, and the notifications the program sends
// by name. Calls and notifications travel over one WebSocket to the host
// that served this page.

const handlers = new Map();
const waiting = new Map();
const closedListeners = [];
let socket = null;
let opened = null;
let closed = false;
let nextId = 1;

export class NotHandled extends Error {}

// Opens the connection (once); resolves when calls can be made.
export function connect() {
  if (opened) return opened;
  opened = new Promise((resolve, reject) => {
    const url = new URL('../ws', location.href);
    url.protocol = location.protocol === 'https:' ? 'wss:' : 'ws:';
    socket = new WebSocket(url);
    socket.addEventListener('open', () => resolve());
    socket.addEventListener('message', (event) => receive(event.data));
    socket.addEventListener('close', () => {
      closed = true;
      for (const { fail } of waiting.values()) fail(new Error('the program has ended'));
      waiting.clear();
      for (const listener of closedListeners) listener();
      reject(new Error('the program cannot be reached'));
    });
  });
  return opened;
}

function receive(text) {
  let message;
  try {
    message = JSON.parse(text);
  } catch {
    return;
  }
  if (typeof message.notify === 'string') {
    const handler = handlers.get(message.notify);
    if (handler) handler(...(Array.isArray(message.args) ? message.args : []));
    return;
  }
  const call = waiting.get(message.id);
  if (!call) return;
  waiting.delete(message.id);
  if (message.handled) call.done(message.value);
  else call.fail(new NotHandled(`${call.name}: ${message.error || 'not handled'}`));
}

// Calls the native function `name`; resolves with its answer, rejects with
// NotHandled when the program has no such function (or not with these many
// arguments).
export async function call(name, ...args) {
  await connect();
  // Once the program has gone a call fails at once, rather than wait for
  // an answer that cannot come.
  if (closed) throw new Error('the program has ended');
  return new Promise((done, fail) => {
    const id = nextId++;
    waiting.set(id, { name, done, fail });
    socket.send(JSON.stringify({ id, call: name, args }));
  });
}

// The script function the program calls as `name`.
export function on(name, handler) {
  handlers.set(name, handler);
}

// Called once the program can no longer be reached.
export function onClosed(listener) {
  closedListeners.push(listener);
}
