#!/usr/bin/env bash
# Builds the seed corpora of the fuzzers into OUT/json, OUT/handle and OUT/http (all emptied first).
#   fuzz_json:   every file of the JSON parsing corpus in tests/data/jsontestsuite/test_parsing
#                (fuzz_json_oracle starts from these too).
#   fuzz_handle: examples/session.jsonl whole and line by line, one request per method and tool,
#                and every accepted suite text as the id of a ping.
#   fuzz_http:   pipelines of requests as a connection receives them: bodies by length and chunked,
#                extensions and trailers, the forms of target, and the kinds of request we refuse
#                (fuzz_http_oracle starts from these too).
#   fuzz_connections: sequences of steps (bytes; see the fuzzer's opening comment): sessions on
#                both transports, calls cut between sends, streams left unread, half-closes, resets
#                and the clock past each limit.
# Usage: fuzz/make_corpus.sh OUT
set -euo pipefail

out=${1:?usage: make_corpus.sh OUT}
src=$(cd "$(dirname "$0")/.." && pwd)
suite=$src/tests/data/jsontestsuite/test_parsing

rm -rf "$out/json" "$out/handle" "$out/http" "$out/connections"
mkdir -p "$out/json" "$out/handle" "$out/http" "$out/connections"

cp "$suite"/*.json "$out/json/"

n=0
seed() {  # one seed file for fuzz_handle; each argument is one line
  n=$((n + 1))
  printf '%s\n' "$@" > "$out/handle/seed-$(printf %03d $n)"
}

cp "$src/examples/session.jsonl" "$out/handle/session.jsonl"
while IFS= read -r line; do seed "$line"; done < "$src/examples/session.jsonl"

call() { printf '{"jsonrpc":"2.0","id":%s,"method":"tools/call","params":%s}' "$1" "$2"; }
seed "$(call 10 '{"name":"echo","arguments":{"text":"hi","times":3}}')"
seed "$(call 11 '{"name":"echo","arguments":{"text":"a\"b\u0001\ud83d\ude00","times":11}}')"
seed "$(call 12 '{"name":"add","arguments":{"a":0.1,"b":2}}')"
seed "$(call 13 '{"name":"add","arguments":{"a":1e308,"b":1e308}}')"
seed "$(call 14 '{"name":"image","arguments":{"color":"green"}}')"
seed "$(call 15 '{"name":"image","arguments":{"color":"Red"}}')"
seed "$(call 16 '{"name":"fail"}')"
seed "$(call 17 '{"name":"slow","arguments":{"seconds":0}}')" \
  "$(call 18 '{"name":"slow","arguments":{"seconds":60.5}}')"
seed "$(call 19 '{"name":"notify","arguments":{"steps":0},"_meta":{"progressToken":"t"}}')"
seed "$(call 20 '{"name":"ask_client"}')" '{"jsonrpc":"2.0","id":1001,"result":{"roots":[]}}'
seed "$(call 21 '{"name":"ask_client"}')" "$(call 22 '{"name":"ask_client"}')" \
  '{"id":1002.0,"error":{"code":1,"message":"no"}}' '{"id":"1001","result":{}}'
seed "$(call '"x"' '{"name":"Echo"}')" "$(call '[1]' '{"name":5}')" "$(call 23 '[]')"
seed '{"jsonrpc":"2.0","id":30,"method":"initialize","params":{"protocolVersion":"2024-11-05"}}'
seed '{"id":31,"method":"tools/list","params":{"cursor":"6"}}' \
  '{"id":32,"method":"tools/list","params":{"cursor":"9"}}'
seed '{"id":33,"method":"resources/templates/list"}' '{"id":34,"method":"prompts/list"}'
seed '{"id":35,"method":"logging/setLevel","params":{"level":"debug"}}'
seed '{"id":36,"method":"resources/read","params":{"uri":"demo://notes/笔记"}}' \
  '{"id":37,"method":"resources/read","params":{"uri":"demo://nothing"}}'
seed '{"id":38,"method":"prompts/get","params":{"name":"review","arguments":{"code":"x"}}}' \
  '{"id":39,"method":"prompts/get","params":{"name":"review"}}'
seed '{' '[1,2]' '"x"' '  ' $'{"id":40,"method":"ping"}\r' '{"method":"ping"}' '{"id":null,"method":"ping"}' \
  '{"id":1,"method":3}'

for f in "$suite"/y_*.json; do
  id=$(tr '\n' ' ' < "$f")
  seed "{\"id\":$id,\"method\":\"ping\"}"
done
h=0
http() {  # one seed file for fuzz_http: the arguments joined, printf escapes (\r\n) expanded
  h=$((h + 1))
  printf "$(printf '%s' "$@")" > "$out/http/seed-$(printf %03d $h)"
}
post='POST /mcp HTTP/1.1\r\nHost: localhost:8080\r\nContent-Type: application/json\r\n'
get='GET /mcp HTTP/1.1\r\nHost: a\r\n'
http "$get" 'Accept: text/event-stream\r\n\r\n'
http "$post" 'Content-Length: 15\r\n\r\n{"jsonrpc":"x"}' "$get" '\r\n'
http "$post" 'Transfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n6;a=b;c="x\\\\y"\r\n world\r\n0\r\nX-T: 1\r\n\r\n' "$get" '\r\n'
http 'GET / HTTP/1.0\r\nConnection: keep-alive\r\n\r\n\r\nGET / HTTP/1.0\r\n\r\n'
http "$get" 'Connection: close\r\n\r\n'
http 'OPTIONS * HTTP/1.1\r\nHost: a\r\n\r\nDELETE http://a.example:80/x?y=%%20 HTTP/1.1\r\nHost: a\r\n\r\n'
http "$post" 'Content-Length: 3\r\nContent-Length: 3\r\n\r\nabc'
http "$post" 'Content-Length: 3\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n'
http "$post" 'Transfer-Encoding: gzip, chunked\r\n\r\n0\r\n\r\n'
http "$post" 'X: a\r\n b\r\n\r\n'
http 'GET / HTTP/1.1\nHost: a\n\n'
http "$get" 'X: \001\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n\r\n'
http 'GET / HTTP/2.0\r\nHost: a\r\n\r\n'
http "$post" 'Transfer-Encoding: chunked\r\n\r\nffffffffffffffff\r\nab'
k=0
steps() {  # one seed file for fuzz_connections: the arguments joined, \x escapes expanded
  k=$((k + 1))
  printf "$(printf '%s' "$@")" > "$out/connections/seed-$(printf %03d $k)"
}
open='\x00' init='\x01\x00\x00\x00\x00' pump='\x09'
# A session: ping, a slow call past the request limit, the session ended.
steps '\x00' "$open" "$init" "$pump" '\x01\x00\x01\x00\x00\x00' '\x01\x00\x01\x00\x10\x00' '\x07\x08' \
  '\x01\x00\x06\x00\x00'
# The older transport: a stream on one client, messages from another, the stream left unread.
steps '\x00' "$open" "$open" '\x01\x00\x04\x00\x00' "$pump" '\x01\x01\x05\x00\x02\x00' '\x08\x00' \
  '\x01\x01\x05\x00\xf0\x00' '\x01\x01\x05\x00\x03\x00' '\x07\x05' '\x08\x00'
# A slow call cut in two sends, the client half-closed before its answer.
steps '\x00' "$open" "$init" "$pump" '\x01\x00\x01\x00\x0b\x80' '\x07\x03' '\x02\x00\x00' '\x04\x00' '\x07\x06'
# A standing stream and large echoes to a client that stops reading, then resets.
steps '\x01' '\x0a' "$init" "$pump" '\x01\x00\x03\x00\x00' '\x08\x00' '\x01\x00\x02\x00\x0f\x00' \
  '\x01\x00\x02\x00\x4f\x00' '\x01\x00\x02\x00\x8f\x00' '\x05\x00' '\x07\x0d'
# HTTP/1.0 and chunked calls, Connection: close, Expect: 100-continue.
steps '\x00' "$open" "$init" "$pump" '\x01\x00\x81\x01\x00\x10\x00' "$open" '\x01\x01\x81\x02\x00\x03\x00' \
  '\x01\x01\x81\x14\x00\x00\x00' '\x07\x04'
# Broken requests: a garbage head, an oversize head, a body that never comes whole; OPTIONS, HEAD.
steps '\x00' "$open" '\x01\x00\x09\x08GET /x\x01\x02\x00' "$open" '\x01\x01\x0a\x00\x00' "$open" \
  '\x01\x02\x0c\x05\x00' '\x07\x08' "$open" '\x01\x03\x07\x00\x00' '\x01\x03\x08\x01\x00' \
  '\x01\x03\x08\x00\x00' '\x07\x0a'
# Eight clients at once, each with a call of its own, the clock past the quiet limit.
steps '\x00' "$open" "$init" "$pump" "$open" "$open" "$open" "$open" "$open" "$open" "$open" \
  '\x01\x01\x01\x00\x10\x00' '\x01\x02\x01\x00\x02\x00' '\x01\x03\x01\x00\x03\x00' \
  '\x01\x04\x03\x00\x00' '\x01\x05\x04\x00\x00' '\x01\x06\x01\x00\x1b\x40' '\x05\x02' '\x07\x0a'
echo "make_corpus: $(ls "$out/json" | wc -l) json seeds, $(ls "$out/handle" | wc -l) handle seeds," \
  "$(ls "$out/http" | wc -l) http seeds, $(ls "$out/connections" | wc -l) connections seeds in $out"
