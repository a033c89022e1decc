"""A local SMTP server for Brevant's mail tests.

Every accepted mail is written, as received (CRLF line ends), into the drop
folder as one ".eml" file, with "Return-Path" and "X-Smtp-Rcpt-To" lines in
front that record the envelope. Written to a temporary name first and then
renamed, so a reader never sees half a mail.

To let the tests see the failures a real server gives:
- a recipient whose local part starts with "refuse" is rejected (550);
- AUTH succeeds only for the login "brevant" with the password "secret".

Usage: /usr/bin/python3 smtp_drop.py HOST PORT DROP_FOLDER
With PORT 0 it listens on a free port; the first line it prints names the
port it listens on.
"""
import asyncio
import itertools
import os
import sys
import time

from aiosmtpd.smtp import SMTP, AuthResult, LoginPassword

_counter = itertools.count()


class DropHandler:
    def __init__(self, folder):
        self.folder = folder
        os.makedirs(folder, exist_ok=True)

    async def handle_RCPT(self, server, session, envelope, address, rcpt_options):
        if address.split("@")[0].lower().startswith("refuse"):
            return "550 5.1.1 Recipient refused"
        envelope.rcpt_tos.append(address)
        return "250 OK"

    async def handle_DATA(self, server, session, envelope):
        head = "Return-Path: <%s>\r\nX-Smtp-Rcpt-To: %s\r\n" % (
            envelope.mail_from, ", ".join("<%s>" % r for r in envelope.rcpt_tos))
        name = "%d.%d.%d" % (time.time_ns(), os.getpid(), next(_counter))
        tmp = os.path.join(self.folder, "." + name + ".tmp")
        with open(tmp, "wb") as f:
            f.write(head.encode("ascii"))
            f.write(envelope.original_content)
        os.rename(tmp, os.path.join(self.folder, name + ".eml"))
        return "250 Message accepted for delivery"


def authenticate(server, session, envelope, mechanism, auth_data):
    ok = (isinstance(auth_data, LoginPassword) and auth_data.login == b"brevant"
          and auth_data.password == b"secret")
    return AuthResult(success=ok, handled=False)


class Server(SMTP):
    pass


def main():
    host, port, folder = sys.argv[1], int(sys.argv[2]), sys.argv[3]
    handler = DropHandler(folder)
    loop = asyncio.new_event_loop()
    asyncio.set_event_loop(loop)

    def factory():
        return Server(handler, authenticator=authenticate, auth_require_tls=False,
                      auth_required=False, enable_SMTPUTF8=True)

    server = loop.run_until_complete(loop.create_server(factory, host, port))
    port = server.sockets[0].getsockname()[1]
    print("smtp_drop listening on %s:%d, mails into %s" % (host, port, folder), flush=True)
    try:
        loop.run_forever()
    finally:
        server.close()


if __name__ == "__main__":
    main()
