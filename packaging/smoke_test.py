#!/usr/bin/python3
"""Runs the packed executables with no board, as the IDE would start them:

  murlen-monitor    --version; a wrong argument; HELLO, DESCRIBE and QUIT on
                    standard input, answered byte for byte as the monitor's
                    tests expect (tests/support/replies.h) and exit status 0
  murlen-discovery  --version; a wrong argument; HELLO, START, LIST (no port)
                    and QUIT, each answered with its event and "OK"; then
                    START_SYNC, STOP and QUIT with no HELLO, as a client from
                    before version 1 sends them

Usage: smoke_test.py --version VERSION [--prefix "EMULATOR ARGS"] EXECUTABLE...
The prefix runs a foreign processor's executable (qemu-user). Prints one line
per executable; exit status 1 when any check failed."""
import ast
import json
import os
import re
import shlex
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.dirname(HERE)
TIMEOUT = 60  # seconds: an emulated start on a busy machine is slow


def monitor_replies():
    """The replies' texts from the monitor tests' own header."""
    path = None
    for folder, _, files in os.walk(os.path.join(SOURCE, 'tests')):
        if 'replies.h' in files:
            path = os.path.join(folder, 'replies.h')
            break
    if path is None:
        sys.exit('smoke_test.py: tests/**/replies.h not found')
    text = open(path).read()
    replies = {}
    pattern = r'inline const std::string (\w+) =\s*((?:"(?:[^"\\]|\\.)*"\s*)+);'
    for name, literals in re.findall(pattern, text):
        replies[name] = ''.join(ast.literal_eval(s) for s in re.findall(r'"(?:[^"\\]|\\.)*"', literals))
    for name in ('hello_reply', 'describe_reply', 'quit_reply'):
        if name not in replies:
            sys.exit('smoke_test.py: %s not in %s' % (name, path))
    return replies


def run(prefix, executable, args, stdin):
    return subprocess.run(prefix + [executable] + args, input=stdin.encode(), capture_output=True,
                          timeout=TIMEOUT)


def check_arguments(prefix, executable, version):
    name = os.path.basename(executable)
    r = run(prefix, executable, ['--version'], '')
    want = ('%s %s\n' % (name, version)).encode()
    if r.returncode != 0 or r.stdout != want:
        return '--version: status %d, wrote %r (want %r)' % (r.returncode, r.stdout, want)
    r = run(prefix, executable, ['--no-such-option'], '')
    if r.returncode != 2 or r.stdout != b'' or r.stderr.count(b'\n') != 1 or b'usage' not in r.stderr:
        return 'a wrong argument: status %d, stdout %r, stderr %r' % (r.returncode, r.stdout, r.stderr)
    return None


def check_monitor(prefix, executable):
    replies = monitor_replies()
    r = run(prefix, executable, [], 'HELLO 1 "release smoke test"\nDESCRIBE\nQUIT\n')
    want = (replies['hello_reply'] + replies['describe_reply'] + replies['quit_reply']).encode()
    if r.returncode != 0 or r.stdout != want:
        return 'HELLO, DESCRIBE, QUIT: status %d, wrote %r' % (r.returncode, r.stdout)
    return None


def check_discovery(prefix, executable):
    """A version-1 session, then one as a client from before version 1 (no HELLO)."""
    sessions = [
        ('HELLO 1 "release smoke test"\nSTART\nLIST\nQUIT\n',
         [('hello', {'protocolVersion': 1, 'message': 'OK'}), ('start', {'message': 'OK'}),
          ('list', {'ports': []}), ('quit', {'message': 'OK'})]),
        ('START_SYNC\nSTOP\nQUIT\n',
         [('start_sync', {'message': 'OK'}), ('stop', {'message': 'OK'}), ('quit', {'message': 'OK'})]),
    ]
    for commands, want in sessions:
        problem = check_discovery_session(prefix, executable, commands, want)
        if problem is not None:
            return problem
    return None


def check_discovery_session(prefix, executable, commands, want):
    r = run(prefix, executable, [], commands)
    decoder = json.JSONDecoder()
    text = r.stdout.decode('utf-8', 'replace')
    events, at = [], 0
    try:
        while True:
            while at < len(text) and text[at].isspace():
                at += 1
            if at == len(text):
                break
            value, at = decoder.raw_decode(text, at)
            events.append(value)
    except ValueError:
        return 'not a stream of JSON objects: %r' % text
    what = ', '.join(commands.split())
    if r.returncode != 0 or len(events) != len(want):
        return '%s: status %d, wrote %r' % (what, r.returncode, text)
    for event, (kind, fields) in zip(events, want):
        if not isinstance(event, dict) or event.get('eventType') != kind or event.get('error'):
            return '%s: expected a %s event, got %r' % (what, kind, event)
        for key, value in fields.items():
            if event.get(key) != value:
                return '%s: %s event: %s is %r, not %r' % (what, kind, key, event.get(key), value)
    return None


def main():
    args = sys.argv[1:]
    version, prefix, executables = None, [], []
    while args:
        a = args.pop(0)
        if a == '--version':
            version = args.pop(0)
        elif a == '--prefix':
            prefix = shlex.split(args.pop(0))
        else:
            executables.append(a)
    if version is None or not executables:
        sys.exit(__doc__)
    failed = False
    for executable in executables:
        name = os.path.basename(executable)
        checks = {'murlen-monitor': check_monitor, 'murlen-discovery': check_discovery}
        if name not in checks:
            print('%s: no smoke test for this executable' % name)
            failed = True
            continue
        try:
            problem = check_arguments(prefix, executable, version) or checks[name](prefix, executable)
        except subprocess.TimeoutExpired:
            problem = 'no exit within %d s' % TIMEOUT
        print('%s: %s' % (name, 'ok' if problem is None else 'FAILED: ' + problem))
        failed = failed or problem is not None
    sys.exit(1 if failed else 0)


main()
