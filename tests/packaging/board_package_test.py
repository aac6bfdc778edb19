#!/usr/bin/python3
"""board_package.py fill and check on a vendor's own index: a tool of the
vendor's (with a flavour for a host our tools lack) and two platform
releases. Tool archives are faked as files; the strict schema check runs
where ../shared/tools/check-package-index.py lies beside the clone."""
import copy
import io
import json
import os
import subprocess
import sys
import tarfile
import shutil
import tempfile

SOURCE = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
TOOL = os.path.join(SOURCE, 'packaging', 'board_package.py')
VALIDATOR = os.path.join(SOURCE, '..', 'shared', 'tools', 'check-package-index.py')


def system(host, name):
    return {'host': host, 'url': 'https://acme.example/' + name, 'archiveFileName': name,
            'checksum': 'SHA-256:' + '0' * 64, 'size': '1'}


def platform(version, deps):
    return {'name': 'Acme Boards', 'architecture': 'acme', 'version': version, 'category': 'Contributed',
            'help': {'online': 'https://acme.example'}, 'url': 'https://acme.example/acme-%s.tar.gz' % version,
            'archiveFileName': 'acme-%s.tar.gz' % version, 'checksum': 'SHA-256:' + '1' * 64, 'size': '2',
            'boards': [{'name': 'Murlen F1'}, {'name': 'Murlen G1'}], 'toolsDependencies': deps,
            'discoveryDependencies': [], 'monitorDependencies': []}


def main():
    work = tempfile.mkdtemp()
    uploader = {'name': 'acme-uploader', 'version': '2.0.1',
                'systems': [system(h, 'up-%s.tar.gz' % h) for h in ('x86_64-linux-gnu', 'x86_64-mingw32')]}
    vendor = {'packages': [{'name': 'acme', 'maintainer': 'Acme', 'websiteURL': 'https://acme.example',
                            'email': 'a@acme.example', 'help': {'online': 'https://acme.example'},
                            'platforms': [platform('1.0.0', []),
                                          platform('1.1.0', [{'packager': 'acme', 'name': 'acme-uploader',
                                                              'version': '2.0.1'}])],
                            'tools': [uploader]}]}
    vendor_text = json.dumps(vendor, indent=4) + '\n'
    with open(os.path.join(work, 'vendor.json'), 'w') as f:
        f.write(vendor_text)
    board = os.path.join(work, 'board')
    os.mkdir(board)
    for name in ('platform.txt', 'boards.txt'):
        text = open(os.path.join(SOURCE, 'packaging', 'board-package', name)).read()
        with open(os.path.join(board, name), 'w') as f:
            f.write(text.replace('murlen:murlen-', 'acme:murlen-').replace('version=1.0.0', 'version=1.1.0'))
    out = os.path.join(work, 'out')
    os.mkdir(out)
    archives = []
    for host in ('x86_64-linux-gnu', 'aarch64-linux-gnu'):
        path = os.path.join(out, 'murlen-monitor-0.1.0-%s.tar.gz' % host)
        with tarfile.open(path, 'w:gz') as t:
            for name, data in (('murlen-monitor', b'ELF'), ('murlen-discovery', b'ELF'),
                               ('README.md', b'sudo cp ~/.arduino15/packages/murlen/tools/murlen-monitor/0.1.0/x')):
                info = tarfile.TarInfo('murlen-monitor/' + name)
                info.size = len(data)
                t.addfile(info, io.BytesIO(data))
        archives.append(path)
    index = os.path.join(out, 'package_acme_index.json')
    fill = subprocess.run([sys.executable, TOOL, 'fill', '--url', 'https://acme.example', '--out', index,
                           '--template', os.path.join(work, 'vendor.json'), '--platform', board,
                           '--platform-archive', 'acme-1.1.0.tar.gz'] + archives, capture_output=True, text=True)
    check = subprocess.run([sys.executable, TOOL, 'check', '--hosts', 'x86_64-linux-gnu,aarch64-linux-gnu',
                            '--platform', board, index], capture_output=True, text=True)
    got = json.load(open(index))
    package = got['packages'][0]
    # What fill may change, put back as the vendor had it: nothing else may differ.
    restored = copy.deepcopy(got)
    new = restored['packages'][0]['platforms'][1]
    for key in ('url', 'archiveFileName', 'checksum', 'size'):
        new[key] = vendor['packages'][0]['platforms'][1][key]
    new['toolsDependencies'] = new['toolsDependencies'][:1]
    new['discoveryDependencies'], new['monitorDependencies'] = [], []
    restored['packages'][0]['tools'] = restored['packages'][0]['tools'][:1]
    readme = tarfile.open(archives[0]).extractfile('murlen-monitor/README.md').read().decode()
    strict = subprocess.run([sys.executable, VALIDATOR, '--strict', index], capture_output=True, text=True) \
        if os.path.isfile(VALIDATOR) else None
    rows = [
        ('fill succeeds', fill.returncode == 0, fill.stderr),
        ('nothing of the vendor\'s changed', restored == vendor, json.dumps(got, indent=1)),
        ('laid out as the vendor had it', open(index).read() == json.dumps(got, indent=4) + '\n', open(index).read()),
        ('our tools added after the vendor\'s', [t['name'] for t in package['tools']] ==
         ['acme-uploader', 'murlen-discovery', 'murlen-monitor'], package['tools']),
        ('the new release depends on all three', [d['name'] for d in package['platforms'][1]['toolsDependencies']] ==
         ['acme-uploader', 'murlen-discovery', 'murlen-monitor'], package['platforms'][1]),
        ('the platform archive', package['platforms'][1]['archiveFileName'] == 'acme-1.1.0.tar.gz' and
         sorted(tarfile.open(os.path.join(out, 'acme-1.1.0.tar.gz')).getnames()) ==
         ['acme-1.1.0', 'acme-1.1.0/boards.txt', 'acme-1.1.0/platform.txt'], package['platforms'][1]),
        ('the README names the packager', 'packages/acme/tools/murlen-monitor/0.1.0/' in readme, readme),
        ('check passes', check.returncode == 0, check.stdout),
        ('check warns of the host our tools lack', 'WARNING: acme-uploader 2.0.1 serves x86_64-mingw32' in check.stdout,
         check.stdout),
        ('the strict schema check passes', strict is None or strict.returncode == 0, strict and strict.stdout),
    ]
    shutil.rmtree(work)
    failed = [r for r in rows if not r[1]]
    for name, ok, detail in rows:
        print('%s: %s' % ('ok' if ok else 'FAIL', name) + ('' if ok else '\n%s' % (detail,)))
    if strict is None:
        print('the strict schema check skipped: no %s' % VALIDATOR)
    sys.exit(1 if failed else 0)


main()
