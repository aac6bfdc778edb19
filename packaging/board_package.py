#!/usr/bin/python3
"""The example board package (packaging/board-package/).

  board_package.py fill --url URL --out INDEX TOOL_ARCHIVE...
      Packs the example platform (platform.txt and boards.txt) beside INDEX as
      murlen-boards-VERSION.tar.gz, reproducibly, and writes INDEX from
      package_index.template.json: the platform's archive, one tool entry per
      executable the tool archives hold (one system per host, each pointing at
      that host's archive), the platform's toolsDependencies,
      discoveryDependencies and monitorDependencies.

  board_package.py check [--hosts H1,H2,...] [--without TOOL] INDEX
      Parses INDEX, platform.txt and boards.txt (from INDEX's folder) and checks
      that they agree and that every archive the index names lies in INDEX's
      folder with the size and SHA-256 checksum given, holding the tool.
      --without TOOL: the platform may name TOOL although it was not built.
"""
import hashlib
import io
import json
import os
import re
import sys
import tarfile
import gzip

HERE = os.path.dirname(os.path.abspath(__file__))
PACKAGE_DIR = os.path.join(HERE, 'board-package')
HOSTS = ['x86_64-linux-gnu', 'i686-linux-gnu', 'aarch64-linux-gnu', 'arm-linux-gnueabihf']
TOP = 'murlen-monitor'  # the tool archives' top folder
TOOL_ARCHIVE = re.compile(r'^murlen-monitor-(?P<version>[0-9.]+)-(?P<host>[a-z0-9_]+-linux-gnu(?:eabihf)?)\.tar\.gz$')
DISCOVERIES = {'murlen-discovery'}
MONITORS = {'murlen-monitor'}


def sha256(path):
    with open(path, 'rb') as f:
        return hashlib.sha256(f.read()).hexdigest()


def archive_members(path):
    with tarfile.open(path, 'r:gz') as t:
        return t.getnames()


def pack_platform(platform_dir, version, out_dir, mtime):
    """murlen-boards-VERSION.tar.gz with platform.txt and boards.txt under one top folder."""
    top = 'murlen-boards-%s' % version
    name = top + '.tar.gz'
    raw = io.BytesIO()
    with tarfile.open(fileobj=raw, mode='w', format=tarfile.GNU_FORMAT) as t:
        entries = [(top, None)] + [(top + '/' + f, os.path.join(platform_dir, f))
                                   for f in ('boards.txt', 'platform.txt')]
        for arcname, source in entries:
            info = tarfile.TarInfo(arcname)
            info.mtime, info.uid, info.gid, info.uname, info.gname = mtime, 0, 0, '', ''
            if source is None:
                info.type, info.mode = tarfile.DIRTYPE, 0o755
                t.addfile(info)
            else:
                data = open(source, 'rb').read()
                info.size, info.mode = len(data), 0o644
                t.addfile(info, io.BytesIO(data))
    path = os.path.join(out_dir, name)
    with open(path, 'wb') as f:
        with gzip.GzipFile(filename='', mode='wb', fileobj=f, compresslevel=9, mtime=0) as z:
            z.write(raw.getvalue())
    return path


def file_entry(url, path):
    return {'url': url.rstrip('/') + '/' + os.path.basename(path),
            'archiveFileName': os.path.basename(path),
            'checksum': 'SHA-256:' + sha256(path),
            'size': str(os.path.getsize(path))}


def fill(args):
    url = out = None
    archives = []
    while args:
        a = args.pop(0)
        if a == '--url':
            url = args.pop(0)
        elif a == '--out':
            out = args.pop(0)
        else:
            archives.append(a)
    if not url or not out or not archives:
        sys.exit(__doc__)
    index = json.load(open(os.path.join(PACKAGE_DIR, 'package_index.template.json')))
    package = index['packages'][0]
    platform = package['platforms'][0]
    out_dir = os.path.dirname(os.path.abspath(out))
    mtime = int(os.environ.get('SOURCE_DATE_EPOCH', '0'))
    platform.update(file_entry(url, pack_platform(PACKAGE_DIR, platform['version'], out_dir, mtime)))

    tools = {}  # tool name -> version -> [system]
    for path in sorted(archives, key=lambda p: HOSTS.index(TOOL_ARCHIVE.match(os.path.basename(p)).group('host'))):
        m = TOOL_ARCHIVE.match(os.path.basename(path))
        members = archive_members(path)
        for member in members:
            name = member[len(TOP) + 1:] if member.startswith(TOP + '/') else ''
            if name in DISCOVERIES | MONITORS:
                system = {'host': m.group('host')}
                system.update(file_entry(url, path))
                tools.setdefault(name, {}).setdefault(m.group('version'), []).append(system)
    package['tools'] = [{'name': name, 'version': version, 'systems': systems}
                        for name in sorted(tools) for version, systems in sorted(tools[name].items())]
    packager = package['name']
    platform['toolsDependencies'] = [{'packager': packager, 'name': t['name'], 'version': t['version']}
                                     for t in package['tools']]
    platform['discoveryDependencies'] = [{'packager': packager, 'name': t['name']}
                                         for t in package['tools'] if t['name'] in DISCOVERIES]
    platform['monitorDependencies'] = [{'packager': packager, 'name': t['name']}
                                       for t in package['tools'] if t['name'] in MONITORS]
    with open(out, 'w') as f:
        json.dump(index, f, indent=2)
        f.write('\n')
    print('%s: %s' % (out, ', '.join('%s %s for %d hosts' % (t['name'], t['version'], len(t['systems']))
                                     for t in package['tools'])))


def properties(path):
    """key=value lines of a platform.txt or boards.txt; comments and blank lines skipped."""
    props = {}
    for number, line in enumerate(open(path), 1):
        line = line.strip()
        if not line or line.startswith('#'):
            continue
        if '=' not in line:
            raise ValueError('%s:%d: not a key=value line: %s' % (path, number, line))
        key, value = line.split('=', 1)
        if key in props:
            raise ValueError('%s:%d: %s given twice' % (path, number, key))
        props[key] = value
    return props


def check(args):
    hosts, without, index_path = HOSTS, set(), None
    while args:
        a = args.pop(0)
        if a == '--hosts':
            hosts = args.pop(0).split(',')
        elif a == '--without':
            without.add(args.pop(0))
        else:
            index_path = a
    if index_path is None:
        sys.exit(__doc__)
    folder = os.path.dirname(os.path.abspath(index_path))
    problems = []

    def verify_file(what, entry):
        name = entry.get('archiveFileName', '')
        path = os.path.join(folder, name)
        if not name or os.path.basename(name) != name or not os.path.isfile(path):
            problems.append('%s: archive %r is not beside the index' % (what, name))
            return None
        if entry.get('url', '').rsplit('/', 1)[-1] != name:
            problems.append('%s: url %r does not end in %s' % (what, entry.get('url'), name))
        if entry.get('size') != str(os.path.getsize(path)):
            problems.append('%s: size %r, the archive has %d bytes' % (what, entry.get('size'), os.path.getsize(path)))
        if entry.get('checksum') != 'SHA-256:' + sha256(path):
            problems.append('%s: checksum %r does not match %s' % (what, entry.get('checksum'), name))
        return path

    index = json.load(open(index_path))
    packages = index.get('packages', [])
    if len(packages) != 1:
        sys.exit('%s: expected one package, found %d' % (index_path, len(packages)))
    package = packages[0]
    packager = package.get('name')
    platforms = package.get('platforms', [])
    if len(platforms) != 1:
        sys.exit('%s: expected one platform, found %d' % (index_path, len(platforms)))
    platform = platforms[0]
    verify_file('platform', platform)

    tools = {}
    for tool in package.get('tools', []):
        name = tool.get('name')
        tools[name] = tool
        seen = [s.get('host') for s in tool.get('systems', [])]
        if sorted(seen) != sorted(hosts):
            problems.append('tool %s: hosts %s, expected %s' % (name, seen, hosts))
        for system in tool.get('systems', []):
            what = 'tool %s on %s' % (name, system.get('host'))
            path = verify_file(what, system)
            if path is None:
                continue
            m = TOOL_ARCHIVE.match(os.path.basename(path))
            if not m or m.group('host') != system.get('host') or m.group('version') != tool.get('version'):
                problems.append('%s: archive %s is not this host and version' % (what, os.path.basename(path)))
            if '%s/%s' % (TOP, name) not in archive_members(path):
                problems.append('%s: %s does not hold %s/%s' % (what, os.path.basename(path), TOP, name))

    want_tools = sorted([packager, t['name'], t['version']] for t in tools.values())
    got_tools = sorted([d.get('packager'), d.get('name'), d.get('version')]
                       for d in platform.get('toolsDependencies', []))
    if got_tools != want_tools:
        problems.append('toolsDependencies %s, the tools are %s' % (got_tools, want_tools))
    for key, kinds in (('discoveryDependencies', DISCOVERIES), ('monitorDependencies', MONITORS)):
        want = sorted([packager, n] for n in tools if n in kinds)
        got = sorted([d.get('packager'), d.get('name')] for d in platform.get(key, []))
        if got != want or not got and not (kinds & without):
            problems.append('%s %s, expected %s' % (key, got, want))

    try:
        platform_txt = properties(os.path.join(folder, 'platform.txt'))
        boards_txt = properties(os.path.join(folder, 'boards.txt'))
    except (OSError, ValueError) as e:
        sys.exit(str(e))
    for key, value in platform_txt.items():
        if key.startswith(('pluggable_discovery.pattern', 'pluggable_monitor.pattern')):
            problems.append('platform.txt: %s is a development form; a release names its tools' % key)
        if 'builtin:serial-discovery' in value:
            problems.append('platform.txt: %s adds the built-in serial discovery: boards would show twice' % key)
    if platform_txt.get('version') != platform.get('version'):
        problems.append('platform.txt version %r, the index says %r' % (platform_txt.get('version'), platform.get('version')))
    required = [(k, v) for k, v in platform_txt.items() if re.fullmatch(r'pluggable_discovery\.required(\.\d+)?', k)]
    monitors = [(k, v) for k, v in platform_txt.items() if k.startswith('pluggable_monitor.required.')]
    if not required or not any(k == 'pluggable_monitor.required.murlen' for k, _ in monitors):
        problems.append('platform.txt: needs pluggable_discovery.required and pluggable_monitor.required.murlen')
    for (key, value), kinds, deps in ([(r, DISCOVERIES, 'discoveryDependencies') for r in required] +
                                      [(m, MONITORS, 'monitorDependencies') for m in monitors]):
        m = re.fullmatch(r'([A-Za-z0-9_.-]+):([A-Za-z0-9_.-]+)', value)
        if not m or m.group(1) != packager or m.group(2) not in kinds:
            problems.append('platform.txt: %s=%s is not %s:<one of %s>' % (key, value, packager, sorted(kinds)))
        elif m.group(2) not in tools:
            if m.group(2) in without:
                print('platform.txt: %s names %s, which is not built yet: skipped' % (key, m.group(2)))
            else:
                problems.append('platform.txt: %s names %s, which the index has not in %s' % (key, m.group(2), deps))

    names = {}
    for key, value in boards_txt.items():
        board = key.split('.', 1)[0]
        if key.endswith('.name'):
            names[board] = value
        m = re.fullmatch(r'([A-Za-z0-9_]+)\.upload_port\.(\d+)\.(vid|pid)', key)
        if m:
            if not re.fullmatch(r'0x[0-9a-f]{4}', value):
                problems.append('boards.txt: %s=%s is not 0x and four lower-case hex digits' % (key, value))
            other = '%s.upload_port.%s.%s' % (m.group(1), m.group(2), 'pid' if m.group(3) == 'vid' else 'vid')
            if other not in boards_txt:
                problems.append('boards.txt: %s has no %s' % (key, other))
            if m.group(3) == 'pid' and boards_txt.get(other) == '0x16c0':
                pid = int(value, 16) if re.fullmatch(r'0x[0-9a-f]{4}', value) else -1
                if not 0x0474 <= pid <= 0x04d7 or pid == 0x0478:
                    problems.append('boards.txt: %s=%s is no Murlen board running its program' % (key, value))
    listed = sorted(b.get('name') for b in platform.get('boards', []))
    if sorted(names.values()) != listed:
        problems.append('boards.txt names %s, the index lists %s' % (sorted(names.values()), listed))

    for p in problems:
        print('FAIL: ' + p)
    print('%s: %s' % (index_path, 'platform, boards and %d tool entries agree, every archive verified'
                      % sum(len(t.get('systems', [])) for t in tools.values()) if not problems
                      else '%d problems' % len(problems)))
    return 1 if problems else 0


def main():
    if len(sys.argv) < 2 or sys.argv[1] not in ('fill', 'check'):
        sys.exit(__doc__)
    if sys.argv[1] == 'fill':
        fill(sys.argv[2:])
        return 0
    return check(sys.argv[2:])


sys.exit(main())
