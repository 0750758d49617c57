// Echo server for the WebSocket scenarios: every message goes back unchanged, same type.
// Usage: node ws_echo.js PORT [deflate]   (prints "ready" once listening on 127.0.0.1)
// Compression stays off unless "deflate" asks for it (the compressed scenario, S4z).
const { WebSocketServer } = require('ws');

const port = Number(process.argv[2]);
const wss = new WebSocketServer({
  host: '127.0.0.1',
  port,
  maxPayload: 64 * 1024 * 1024,
  perMessageDeflate: process.argv[3] === 'deflate',
  clientTracking: false,
});
wss.on('connection', (socket) => {
  socket.on('message', (data, isBinary) => socket.send(data, { binary: isBinary }));
  socket.on('error', () => {});
});
wss.on('listening', () => console.log('ready'));
