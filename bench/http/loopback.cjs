// Preloaded into the Node demo server (node --require): it listens on whatever PORT says, on every
// interface; this keeps it on 127.0.0.1 and reports the port it got, so PORT=0 works.
"use strict";
const net = require("node:net");
const listen = net.Server.prototype.listen;
net.Server.prototype.listen = function (...args) {
  const port = args[0];
  if ((typeof port === "number" || /^\d+$/.test(String(port))) && typeof args[1] !== "string") {
    args.splice(1, 0, "127.0.0.1");
  }
  this.once("listening", () => process.stderr.write(`bench: listening at http://127.0.0.1:${this.address().port}/mcp\n`));
  return listen.apply(this, args);
};
