"""An HTTP proxy on loopback for the setup's tests: it passes apt's requests on to the mirror,
but for the backports, which it either refuses (a mirror that cannot be reached) or serves
cut short (a mirror in the middle of a sync: apt finds the lists' sizes and hashes wrong)."""
import http.client
import http.server
import threading
import urllib.parse

HOP_BY_HOP = {"connection", "keep-alive", "proxy-connection", "transfer-encoding", "te",
              "trailer", "upgrade", "proxy-authorization", "proxy-authenticate"}


class Proxy:
    """Serves until stop(); mode is "unreachable" or "syncing"; port is where it listens."""

    def __init__(self, mode):
        proxy = self

        class Handler(http.server.BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.0"

            def do_GET(self):
                proxy.handle(self)

            do_HEAD = do_GET

            def log_message(self, *args):
                pass

        self.mode = mode
        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.port = self.server.server_address[1]
        threading.Thread(target=self.server.serve_forever, daemon=True).start()

    def handle(self, request):
        url = urllib.parse.urlsplit(request.path)
        backports = "-backports/" in url.path
        if backports and self.mode == "unreachable":
            request.send_error(503, "the backports cannot be reached")
            return
        upstream = http.client.HTTPConnection(url.netloc, timeout=60)
        headers = {k: v for k, v in request.headers.items() if k.lower() not in HOP_BY_HOP}
        upstream.request(request.command, url.path + ("?" + url.query if url.query else ""),
                         headers=headers)
        answer = upstream.getresponse()
        body = answer.read()
        if backports and not url.path.endswith(("Release", "Release.gpg")) and body:
            body = body[:len(body) // 2]  # half a file, as while a mirror syncs
        request.send_response(answer.status, answer.reason)
        for name, value in answer.getheaders():
            if name.lower() not in HOP_BY_HOP and name.lower() != "content-length":
                request.send_header(name, value)
        request.send_header("Content-Length", str(len(body)))
        request.end_headers()
        if request.command != "HEAD":
            request.wfile.write(body)
        upstream.close()

    def stop(self):
        self.server.shutdown()
        self.server.server_close()


if __name__ == "__main__":
    # python3 -m tests.setup.aptproxy MODE PORT_FILE: serves until ended, and writes its port
    # into the file once it listens.
    import sys
    import time
    serving = Proxy(sys.argv[1])
    with open(sys.argv[2] + ".new", "w") as f:
        f.write("%d\n" % serving.port)
    __import__("os").replace(sys.argv[2] + ".new", sys.argv[2])
    while True:
        time.sleep(3600)
