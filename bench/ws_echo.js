// Echo server for the WebSocket scenarios: every message goes back unchanged, same type.
// Usage: node ws_echo.js PORT   (prints "ready" once listening on 127.0.0.1)
const { WebSocketServer } = require('ws');

const port = Number(process.argv[2]);
const wss = new WebSocketServer({
  host: '127.0.0.1',
  port,
  maxPayload: 64 * 1024 * 1024,
  perMessageDeflate: false,
  clientTracking: false,
});
wss.on('connection', (socket) => {
  socket.on('message', (data, isBinary) => socket.send(data, { binary: isBinary }));
  socket.on('error', () => {});
});
wss.on('listening', () => console.log('ready'));
