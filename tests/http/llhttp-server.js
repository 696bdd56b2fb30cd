// The reference for the front door's differential test: Node's own HTTP server (llhttp, strict,
// as insecureHTTPParser is off) answers every request it parsed with 200, keeping the connection
// for the next one, and refuses the rest with its own 4xx. Prints the port it listens on.
const http = require('http');
const server = http.createServer({ insecureHTTPParser: false }, (request, response) => {
    response.writeHead(200, { 'Content-Type': 'text/plain' });
    response.end('ok\n');
});
server.listen(0, '127.0.0.1', () => console.log(String(server.address().port)));
