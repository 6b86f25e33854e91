#!/usr/bin/env python3
"""okdpack of this machine and okdpack.exe under Wine, side by side.

  okdpack_cross.py CASE HOST_OKDPACK WINE_RUN OKDPACK_EXE SCRATCH

SameKit: both pack one tree (its own file times) into the same bytes, and
each lists both kits alike, with the names, sizes and times the tree has.
WindowsRefusals: okdpack.exe refuses what Wine shows of a Unix tree that a
kit cannot hold: a link to a folder (a reparse point) and a FIFO (no disk
file), with one line naming it and no kit left behind.
"""
import datetime
import os
import shutil
import subprocess
import sys
import tempfile

case, host, wine_run, exe, scratch_root = sys.argv[1:6]

# Relative path, bytes, last-write time in nanoseconds since 1970 (whole
# 100-ns steps, which is what a kit keeps). The last three names sort one way
# as UTF-8 bytes (the kit's order) and another as UTF-16 units or by Windows'
# rules, which would show as different kits.
TREE = [
    ('readme.txt', b'Read me.\n', 1600000000_123456700),
    ('empty.cfg', b'', 1600000001_000000000),
    ('sub/deep/\u043d\u0430\u0441\u0442\u0440\u043e\u0439\u043a\u0430.cfg', 'k=\u0437\n'.encode(), 1500000000_000000100),
    ('big/large.bin', bytes((i * 7919 + i // 251) & 0xFF for i in range(200000)), 1234567890_987654300),
    ('old.txt', b'old', -86400 * 365 * 10**9),
    ('Zeta.txt', b'z', 1600000002_000000000),
    ('\uff57ide.txt', b'w', 1600000003_000000000),
    ('\U0001F600.txt', b'smile', 1600000004_000000000),
]
DESCRIBE = ['--describe', 'en', 'Demo', 'Shop', 'readme.txt',
            '--describe', 'ru', '\u0414\u0435\u043c\u043e', '\u041c\u0430\u0433\u0430\u0437\u0438\u043d', 'readme.txt']


def fail(message):
    print('FAILED: ' + message)
    sys.exit(1)


def windows_path(path):
    return 'Z:' + path.replace('/', '\\')


def run(argv, status=0):
    env = dict(os.environ, LC_ALL='C.UTF-8', TMPDIR=scratch)
    done = subprocess.run(argv, capture_output=True, env=env, timeout=120)
    out = done.stdout.decode('utf-8').replace('\r\n', '\n')
    err = done.stderr.decode('utf-8').replace('\r\n', '\n')
    if done.returncode != status:
        fail('%s: status %d, not %d\n%s' % (' '.join(argv), done.returncode, status, err))
    return out, err


def make_tree(root):
    for relative, data, ns in TREE:
        path = os.path.join(root, relative)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, 'wb') as f:
            f.write(data)
        os.utime(path, ns=(ns, ns))


def listed_time(ns):
    seconds, rest = divmod(ns, 10**9)
    when = datetime.datetime(1970, 1, 1) + datetime.timedelta(seconds=seconds)
    return when.strftime('%Y-%m-%dT%H:%M:%S') + '.%07dZ' % (rest // 100)


def same_kit():
    tree = os.path.join(scratch, 'tree')
    make_tree(tree)
    linux_kit, windows_kit = os.path.join(scratch, 'linux.okd'), os.path.join(scratch, 'windows.okd')
    run([host] + DESCRIBE + [tree, linux_kit])
    run([wine_run, exe] + DESCRIBE + [windows_path(tree), windows_path(windows_kit)])
    with open(linux_kit, 'rb') as a, open(windows_kit, 'rb') as b:
        if a.read() != b.read():
            fail('the two programs packed the same tree into different kits')

    expected = ('description\ten\tDemo\tShop\treadme.txt\n'
                'description\tru\t\u0414\u0435\u043c\u043e\t\u041c\u0430\u0433\u0430\u0437\u0438\u043d\treadme.txt\n')
    for relative, data, ns in sorted(TREE, key=lambda f: f[0].encode('utf-8')):
        expected += 'file\t%d\t%s\t%s\n' % (len(data), listed_time(ns), relative.replace('/', '\\'))
    for kit in (linux_kit, windows_kit):
        for lister in ([host, '--list', kit], [wine_run, exe, '--list', windows_path(kit)]):
            out, _ = run(lister)
            if out != expected:
                fail('%s listed\n%s\ninstead of\n%s' % (' '.join(lister), out, expected))


def windows_refusals():
    for name, make, reason in (('folder-link', lambda path: os.symlink('real', path), 'is a link'),
                               ('fifo', os.mkfifo, 'is not a regular file')):
        tree = os.path.join(scratch, name)
        os.makedirs(os.path.join(tree, 'real'))
        with open(os.path.join(tree, 'real', 'a.txt'), 'w') as f:
            f.write('a')
        make(os.path.join(tree, 'odd'))
        kit = os.path.join(scratch, name + '.okd')
        _, err = run([wine_run, exe, '--single', 'P', 'V', 'D', windows_path(tree), windows_path(kit)], status=1)
        if err.count('\n') != 1 or windows_path(os.path.join(tree, 'odd')) + ': ' + reason not in err:
            fail('%s: the refusal does not name the entry and why in one line:\n%s' % (name, err))
        left = [n for n in os.listdir(scratch) if n.startswith(name + '.okd')]
        if left:
            fail('%s: left behind %s' % (name, left))


os.makedirs(scratch_root, exist_ok=True)
scratch = tempfile.mkdtemp(prefix='okdpack-cross-', dir=scratch_root)
try:
    {'SameKit': same_kit, 'WindowsRefusals': windows_refusals}[case]()
finally:
    shutil.rmtree(scratch)
