#!/usr/bin/python3
"""The example board package (packaging/board-package/), or a vendor's own.

  board_package.py fill --url URL --out INDEX [--template INDEX_IN]
                        [--platform DIR] [--platform-archive NAME]
                        [--packager NAME] [--architecture ARCH] TOOL_ARCHIVE...
      Reads INDEX_IN (by default the example's package_index.template.json; a
      vendor gives its own index) and writes INDEX beside NAME, which packs the
      platform folder DIR (by default the example's platform.txt and
      boards.txt) reproducibly under one top folder (by default
      murlen-boards-VERSION.tar.gz). Only these change: the url, archive name,
      checksum and size of the platform entry whose version is platform.txt's;
      the entries of murlen-monitor and murlen-discovery at the tool archives'
      version (one system per host; systems of other hosts, such as a vendor's
      own flavours for other systems, stay); and that platform's
      toolsDependencies, discoveryDependencies and monitorDependencies, where
      our tools are added or updated. Every other entry (the vendor's tools,
      older platform releases, older versions of our tools) is kept as it is.
      The tool archives' README names the packager in the path of the udev
      rules: fill writes the package's name there (and a fresh .sha256).

  board_package.py check [--hosts H1,H2,...] [--without TOOL] [--platform DIR]
                         [--packager NAME] [--architecture ARCH] INDEX
      Checks INDEX against platform.txt and boards.txt (from DIR, by default
      INDEX's folder): the platform entry of platform.txt's version, its
      dependencies, and every archive of ours the index names, which must lie
      in INDEX's folder with the size and SHA-256 checksum given, holding the
      tool. Warns when the platform depends on our tools and another tool of
      the platform serves a host that ours have no archive for: the IDE would
      not install the platform there.
      --without TOOL: the platform may name TOOL although it was not built.
"""
import collections
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


def pack_platform(platform_dir, name, out_dir, mtime):
    """NAME (a .tar.gz) with every file of the platform folder under one top folder."""
    top = name[:-len('.tar.gz')] if name.endswith('.tar.gz') else name
    raw = io.BytesIO()
    with tarfile.open(fileobj=raw, mode='w', format=tarfile.GNU_FORMAT) as t:
        entries = [(top, None)]
        for folder, dirs, files in os.walk(platform_dir):
            dirs[:] = sorted(d for d in dirs if not d.startswith('.'))
            relative = os.path.relpath(folder, platform_dir)
            inside = top if relative == '.' else top + '/' + relative.replace(os.sep, '/')
            if relative != '.':
                entries.append((inside, None))
            entries += [(inside + '/' + f, os.path.join(folder, f)) for f in sorted(files)
                        if not f.startswith('.')]
        for arcname, source in sorted(entries):
            info = tarfile.TarInfo(arcname)
            info.mtime, info.uid, info.gid, info.uname, info.gname = mtime, 0, 0, '', ''
            if source is None:
                info.type, info.mode = tarfile.DIRTYPE, 0o755
                t.addfile(info)
            else:
                data = open(source, 'rb').read()
                info.size, info.mode = len(data), 0o755 if os.access(source, os.X_OK) else 0o644
                t.addfile(info, io.BytesIO(data))
    path = os.path.join(out_dir, name)
    write_gzip(path, raw.getvalue())
    return path


def write_gzip(path, data):
    with open(path + '.part', 'wb') as f:
        with gzip.GzipFile(filename='', mode='wb', fileobj=f, compresslevel=9, mtime=0) as z:
            z.write(data)
    os.replace(path + '.part', path)


RULES_PATH = re.compile(r'(packages/)[^/\s`]+(/tools/)')


def name_packager(path, packager):
    """Writes the packager into the tool archive's README (the path of the udev
    rules once the IDE has installed the tool), keeping every other member as
    it is, and refreshes ARCHIVE.sha256. An archive that names it already is
    left alone."""
    readme = TOP + '/README.md'
    raw = io.BytesIO()
    changed = False
    with tarfile.open(path, 'r:gz') as source, \
            tarfile.open(fileobj=raw, mode='w', format=tarfile.GNU_FORMAT) as t:
        for info in source.getmembers():
            data = source.extractfile(info).read() if info.isfile() else None
            if info.name == readme:
                text = data.decode('utf-8')
                filled = RULES_PATH.sub(r'\g<1>%s\g<2>' % packager, text)
                changed = filled != text
                data = filled.encode('utf-8')
                info.size = len(data)
            t.addfile(info, io.BytesIO(data) if data is not None else None)
    if changed:
        write_gzip(path, raw.getvalue())
        with open(path + '.sha256', 'w') as f:
            f.write('%s  %s\n' % (sha256(path), os.path.basename(path)))


def file_entry(url, path):
    return {'url': url.rstrip('/') + '/' + os.path.basename(path),
            'archiveFileName': os.path.basename(path),
            'checksum': 'SHA-256:' + sha256(path),
            'size': str(os.path.getsize(path))}


def options(args, names):
    """--NAME VALUE pairs (repeated ones collected in a list) and the other arguments."""
    values, rest = {}, []
    while args:
        a = args.pop(0)
        if a.startswith('--') and a[2:] in names and args:
            key = a[2:]
            if key in ('without',):
                values.setdefault(key, []).append(args.pop(0))
            else:
                values[key] = args.pop(0)
        elif a.startswith('--'):
            sys.exit('unknown option %s\n%s' % (a, __doc__))
        else:
            rest.append(a)
    return values, rest


def chosen_platform(index, platform_version, packager=None, architecture=None):
    """The package (by name, or the only one) and its platform entry of the version."""
    packages = index.get('packages', [])
    if packager is not None:
        packages = [p for p in packages if p.get('name') == packager]
    if len(packages) != 1:
        sys.exit('the index has %d packages%s: name ours with --packager'
                 % (len(packages), ' called %s' % packager if packager else ''))
    package = packages[0]
    platforms = [p for p in package.get('platforms', []) if p.get('version') == platform_version and
                 (architecture is None or p.get('architecture') == architecture)]
    if len(platforms) != 1:
        sys.exit('package %s has %d platform entries of version %s%s: add one for this release '
                 '(older ones stay), or name it with --architecture'
                 % (package.get('name'), len(platforms), platform_version,
                    ' for %s' % architecture if architecture else ''))
    return package, platforms[0]


def put_dependency(dependencies, entry):
    """Updates the dependency on entry's tool, or adds it at the end."""
    for d in dependencies:
        if d.get('packager') == entry['packager'] and d.get('name') == entry['name']:
            d.update(entry)
            return
    dependencies.append(entry)


def fill(args):
    o, archives = options(args, {'url', 'out', 'template', 'platform', 'platform-archive',
                                 'packager', 'architecture'})
    if 'url' not in o or 'out' not in o or not archives:
        sys.exit(__doc__)
    platform_dir = o.get('platform', PACKAGE_DIR)
    template = o.get('template', os.path.join(PACKAGE_DIR, 'package_index.template.json'))
    with open(template) as f:
        text = f.read()
    index = json.loads(text, object_pairs_hook=collections.OrderedDict)
    layout = json_layout(text)
    try:
        version = properties(os.path.join(platform_dir, 'platform.txt')).get('version')
    except (OSError, ValueError) as e:
        sys.exit(str(e))
    package, platform = chosen_platform(index, version, o.get('packager'), o.get('architecture'))
    packager = package['name']
    out_dir = os.path.dirname(os.path.abspath(o['out']))
    mtime = int(os.environ.get('SOURCE_DATE_EPOCH', '0'))
    name = o.get('platform-archive', 'murlen-boards-%s.tar.gz' % version)
    platform.update(file_entry(o['url'], pack_platform(platform_dir, name, out_dir, mtime)))

    ours = {}  # tool name -> version -> [system]
    for path in sorted(archives, key=lambda p: HOSTS.index(TOOL_ARCHIVE.match(os.path.basename(p)).group('host'))):
        m = TOOL_ARCHIVE.match(os.path.basename(path))
        name_packager(path, packager)
        for member in archive_members(path):
            tool = member[len(TOP) + 1:] if member.startswith(TOP + '/') else ''
            if tool in DISCOVERIES | MONITORS:
                system = collections.OrderedDict(host=m.group('host'))
                system.update(file_entry(o['url'], path))
                ours.setdefault(tool, {}).setdefault(m.group('version'), []).append(system)
    tools = package.setdefault('tools', [])
    for tool in sorted(ours):
        for tool_version, systems in sorted(ours[tool].items()):
            entry = next((t for t in tools if t.get('name') == tool and t.get('version') == tool_version), None)
            if entry is None:
                entry = collections.OrderedDict(name=tool, version=tool_version, systems=[])
                tools.append(entry)
            fresh = {n['host']: n for n in systems}
            known = entry.get('systems', [])
            entry['systems'] = [fresh.get(s.get('host'), s) for s in known] + \
                [n for n in systems if n['host'] not in {s.get('host') for s in known}]
            put_dependency(platform.setdefault('toolsDependencies', []),
                           collections.OrderedDict(packager=packager, name=tool, version=tool_version))
            for key, kinds in (('discoveryDependencies', DISCOVERIES), ('monitorDependencies', MONITORS)):
                if tool in kinds:
                    put_dependency(platform.setdefault(key, []),
                                   collections.OrderedDict(packager=packager, name=tool))
    with open(o['out'], 'w') as f:
        json.dump(index, f, ensure_ascii=False, **layout)
        f.write('\n')
    print('%s: platform %s %s, %s' % (o['out'], platform.get('architecture'), version, ', '.join(
        '%s %s for %d hosts' % (t, v, len(s)) for t in sorted(ours) for v, s in sorted(ours[t].items()))))


def json_layout(text):
    """The indentation and separators of the vendor's index, so that what fill leaves alone is
    written back as it was (for any index laid out one member a line, as json tools write them)."""
    m = re.search(r'\n([ \t]+)"', text)
    if m is None:
        return {'separators': (',', ':') if '": ' not in text else (', ', ': ')}
    indent = m.group(1)
    return {'indent': len(indent) if indent == ' ' * len(indent) else indent}


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
    o, rest = options(args, {'hosts', 'without', 'platform', 'packager', 'architecture'})
    hosts = o['hosts'].split(',') if 'hosts' in o else HOSTS
    without = set(o.get('without', []))
    if len(rest) != 1:
        sys.exit(__doc__)
    index_path = rest[0]
    folder = os.path.dirname(os.path.abspath(index_path))
    platform_dir = o.get('platform', folder)
    problems, warnings = [], []

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

    try:
        platform_txt = properties(os.path.join(platform_dir, 'platform.txt'))
        boards_txt = properties(os.path.join(platform_dir, 'boards.txt'))
    except (OSError, ValueError) as e:
        sys.exit(str(e))
    index = json.load(open(index_path))
    package, platform = chosen_platform(index, platform_txt.get('version'), o.get('packager'),
                                        o.get('architecture'))
    packager = package.get('name')
    verify_file('platform', platform)

    # Our tools: the versions the platform depends on, every archive of ours verified.
    tools = {}
    for dep in platform.get('toolsDependencies', []):
        if dep.get('packager') != packager:
            continue
        entry = next((t for t in package.get('tools', []) if t.get('name') == dep.get('name') and
                      t.get('version') == dep.get('version')), None)
        if entry is None:
            problems.append('toolsDependencies: %s %s is not among the tools' % (dep.get('name'), dep.get('version')))
        elif dep.get('name') in DISCOVERIES | MONITORS:
            tools[dep['name']] = entry
    for name, tool in tools.items():
        seen = [s.get('host') for s in tool.get('systems', [])]
        if len(seen) != len(set(seen)):
            problems.append('tool %s: a host given twice in %s' % (name, seen))
        if not set(hosts) <= set(seen):
            problems.append('tool %s: hosts %s, expected %s' % (name, seen, hosts))
        for system in tool.get('systems', []):
            if not TOOL_ARCHIVE.match(system.get('archiveFileName', '')):
                continue  # a vendor's own flavour for another system
            what = 'tool %s on %s' % (name, system.get('host'))
            path = verify_file(what, system)
            if path is None:
                continue
            m = TOOL_ARCHIVE.match(os.path.basename(path))
            if m.group('host') != system.get('host') or m.group('version') != tool.get('version'):
                problems.append('%s: archive %s is not this host and version' % (what, os.path.basename(path)))
            if '%s/%s' % (TOP, name) not in archive_members(path):
                problems.append('%s: %s does not hold %s/%s' % (what, os.path.basename(path), TOP, name))
    for key, kinds in (('discoveryDependencies', DISCOVERIES), ('monitorDependencies', MONITORS)):
        want = sorted([packager, n] for n in tools if n in kinds)
        got = sorted([d.get('packager'), d.get('name')] for d in platform.get(key, [])
                     if d.get('packager') == packager and d.get('name') in kinds)
        if got != want or not got and not (kinds & without):
            problems.append('%s %s, expected %s' % (key, got, want))

    # The IDE installs a platform on a host only when every tool it depends on
    # has an archive for that host.
    ours_hosts = set.intersection(*[{s.get('host') for s in t.get('systems', [])} for t in tools.values()]) \
        if tools else None
    for dep in platform.get('toolsDependencies', []) if tools else []:
        other = next((t for t in package.get('tools', []) if t.get('name') == dep.get('name') and
                      t.get('version') == dep.get('version')), None)
        if dep.get('packager') != packager or dep.get('name') in tools or other is None:
            continue
        for host in sorted({s.get('host') for s in other.get('systems', [])} - ours_hosts):
            warnings.append('%s %s serves %s, where %s have no archive: the IDE will not install platform %s %s '
                            'there; add flavours for that host under the same tool names and versions'
                            % (other['name'], other['version'], host, ' and '.join(sorted(tools)),
                               platform.get('architecture'), platform.get('version')))

    for key, value in platform_txt.items():
        if key.startswith(('pluggable_discovery.pattern', 'pluggable_monitor.pattern')):
            problems.append('platform.txt: %s is a development form; a release names its tools' % key)
        if 'builtin:serial-discovery' in value:
            problems.append('platform.txt: %s adds the built-in serial discovery: boards would show twice' % key)
    required = [(k, v) for k, v in platform_txt.items() if re.fullmatch(r'pluggable_discovery\.required(\.\d+)?', k)]
    monitors = [(k, v) for k, v in platform_txt.items() if k.startswith('pluggable_monitor.required.')]
    if not required or not any(k == 'pluggable_monitor.required.murlen' for k, _ in monitors):
        problems.append('platform.txt: needs pluggable_discovery.required and pluggable_monitor.required.murlen')
    for (key, value), kinds, deps in ([(r, DISCOVERIES, 'discoveryDependencies') for r in required] +
                                      [(m, MONITORS, 'monitorDependencies') for m in monitors]):
        m = re.fullmatch(r'([A-Za-z0-9_.-]+):([A-Za-z0-9_.-]+)', value)
        if not m or m.group(1) != packager or m.group(2) not in kinds:
            if m and m.group(1) != packager and m.group(2) not in DISCOVERIES | MONITORS:
                continue  # a discovery or monitor of the vendor's own
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
        m = re.fullmatch(r'([A-Za-z0-9_]+)\.(?:upload_port\.(\d+)\.(vid|pid)|(vid|pid)\.(\d+))', key)
        if m:
            number, kind = (m.group(2), m.group(3)) if m.group(3) else (m.group(5), m.group(4))
            form = '%s.upload_port.%s.%s' if m.group(3) else '%s.%s.%s'
            parts = (m.group(1), number, 'pid' if kind == 'vid' else 'vid') if m.group(3) else \
                (m.group(1), 'pid' if kind == 'vid' else 'vid', number)
            if not re.fullmatch(r'0x[0-9a-f]{4}', value):
                problems.append('boards.txt: %s=%s is not 0x and four lower-case hex digits' % (key, value))
            other = form % parts
            if other not in boards_txt:
                problems.append('boards.txt: %s has no %s' % (key, other))
            if kind == 'pid' and boards_txt.get(other) == '0x16c0':
                pid = int(value, 16) if re.fullmatch(r'0x[0-9a-f]{4}', value) else -1
                if not 0x0474 <= pid <= 0x04d7 or pid == 0x0478:
                    problems.append('boards.txt: %s=%s is no Murlen board running its program' % (key, value))
    listed = sorted(b.get('name') for b in platform.get('boards', []))
    if sorted(names.values()) != listed:
        problems.append('boards.txt names %s, the index lists %s' % (sorted(names.values()), listed))

    for w in warnings:
        print('WARNING: ' + w)
    for p in problems:
        print('FAIL: ' + p)
    print('%s: %s' % (index_path, 'platform %s %s, boards and %d tool entries of ours agree, every archive verified'
                      % (platform.get('architecture'), platform.get('version'),
                         sum(len(t.get('systems', [])) for t in tools.values())) if not problems
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
