"""Drives a program through a pseudo-terminal, as a person at a terminal would.

Reads from standard input a JSON object {"command": [...], "env": {...}, "steps": [...]}
where each step is ["send", text], ["expect", regex] or ["sleep", seconds]; runs the
command on a new 80x24 pseudo-terminal, sends and waits as the steps say, then waits for
the program to end.  Prints "status=" and the exit status (None if it had to be killed),
"failed=" and the step that timed out as JSON (empty if none), each on a line of its own,
then everything the program wrote.
Expectations match the output written since the previous match; each waits at most
"timeout" seconds (default 20)."""

import fcntl
import json
import os
import pty
import re
import select
import signal
import struct
import sys
import termios
import time


def main():
    spec = json.load(sys.stdin)
    timeout = float(spec.get('timeout', 20))
    env = dict(os.environ)
    env.update(spec.get('env', {}))
    pid, fd = pty.fork()
    if pid == 0:
        try:
            # As a terminal starts its programs: Ctrl-C and hang-up at their defaults, even
            # when this driver was started with them ignored (a background job, nohup).
            for sig in (signal.SIGINT, signal.SIGHUP):
                signal.signal(sig, signal.SIG_DFL)
            os.execvpe(spec['command'][0], spec['command'], env)
        finally:
            os._exit(127)
    fcntl.ioctl(fd, termios.TIOCSWINSZ, struct.pack('HHHH', 24, 80, 0, 0))

    out = bytearray()
    seen = 0  # expectations look at out[seen:]

    def pump(wait):
        r, _, _ = select.select([fd], [], [], wait)
        if not r:
            return True
        try:
            data = os.read(fd, 65536)
        except OSError:  # the program ended and closed the terminal
            return False
        if not data:
            return False
        out.extend(data)
        return True

    failed = None
    for step in spec['steps']:
        kind, arg = step
        if kind == 'send':
            pump(0)
            os.write(fd, arg.encode())
        elif kind == 'sleep':
            end = time.monotonic() + float(arg)
            while time.monotonic() < end and pump(max(0.0, end - time.monotonic())):
                pass
        elif kind == 'expect':
            pattern = re.compile(arg)
            end = time.monotonic() + timeout
            while True:
                m = pattern.search(out[seen:].decode('utf-8', 'replace'))
                if m:
                    seen += len(out[seen:].decode('utf-8', 'replace')[:m.end()].encode('utf-8', 'replace'))
                    break
                if time.monotonic() > end or not pump(min(0.2, end - time.monotonic())):
                    failed = step
                    break
        if failed:
            break

    status = None
    end = time.monotonic() + (2 if failed else timeout)
    while time.monotonic() < end:
        done, st = os.waitpid(pid, os.WNOHANG)
        if done:
            status = os.waitstatus_to_exitcode(st)
            break
        pump(0.1)
    if status is None:
        os.kill(pid, signal.SIGKILL)
        os.waitpid(pid, 0)
        failed = failed or ['exit', 'the program did not end']
    while pump(0):
        pass
    os.close(fd)
    sys.stdout.write('status=%s\nfailed=%s\n%s' % (
        status, json.dumps(failed) if failed else '', out.decode('utf-8', 'replace')))


if __name__ == '__main__':
    main()
