#!/usr/bin/env python3
"""What a vendor gets from this build tree, tried as a vendor would.

    install_test.py CASE --build DIR --source DIR --scratch DIR --cmake CMAKE

Every run works in its own directory below --scratch, with HOME and TMPDIR
pointing there; it is removed when the case passes.
"""
import argparse
import os
import re
import shutil
import stat
import subprocess
import sys
import tarfile

DEMO_DESCRIPTIONS = [('en', 'Demo templates', 'Example Vendor', 'readme.txt'),
                     ('ru', 'Демонстрационные шаблоны', 'Пример поставщика', 'readme.txt')]
INSTALLED = ['bin/okdpack', 'bin/setup', 'share/doc/setup/README.md', 'share/man/man1/okdpack.1',
             'share/man/man1/setup.1']


class Failure(Exception):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


class Case:
    def __init__(self, args):
        self.build, self.source, self.cmake = args.build, args.source, args.cmake
        self.version = args.version
        self.dir = os.path.join(args.scratch, 'install-%s-%d' % (args.case, os.getpid()))
        shutil.rmtree(self.dir, ignore_errors=True)
        self.home = os.path.join(self.dir, 'home')
        self.tmp = os.path.join(self.dir, 'tmp')
        os.makedirs(self.home)
        os.makedirs(self.tmp)
        env = dict(os.environ, HOME=self.home, TMPDIR=self.tmp, LANG='C.UTF-8', LC_ALL='C.UTF-8')
        for name in ('DISPLAY', 'WAYLAND_DISPLAY', 'LANGUAGE'):
            env.pop(name, None)
        self.env = env

    def run(self, argv, expect=0, **kwargs):
        result = subprocess.run(argv, env=kwargs.pop('env', self.env), stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, timeout=240, **kwargs)
        out, err = result.stdout.decode('utf-8', 'replace'), result.stderr.decode('utf-8', 'replace')
        if expect is not None:
            check(result.returncode == expect, '%s exited with %d, not %d:\n%s%s' % (
                ' '.join(argv), result.returncode, expect, out, err))
        return result.returncode, out, err

    def install(self):
        prefix = os.path.join(self.dir, 'prefix')
        self.run([self.cmake, '--install', self.build, '--prefix', prefix])
        return prefix

    def manual_text(self, page, width=80):
        """The page as a terminal shows it, without bold or underlining."""
        _, out, err = self.run(['groff', '-ww', '-man', '-Tascii', '-P-cbou', '-rLL=%dn' % width, page])
        check(err == '', '%s: groff warns:\n%s' % (page, err))
        return out

    def finish(self):
        shutil.rmtree(self.dir, ignore_errors=True)


def tree(root):
    """Relative path -> (bytes, last-write time in 100 ns) of every file below root."""
    files = {}
    for folder, _, names in os.walk(root):
        for name in names:
            path = os.path.join(folder, name)
            with open(path, 'rb') as f:
                files[os.path.relpath(path, root)] = (f.read(), os.stat(path).st_mtime_ns // 100)
    return files


def sections(text):
    """Manual page text -> {heading: [lines]}; headings stand at the left margin."""
    result, current = {}, None
    for line in text.splitlines():
        if line and not line[0].isspace() and line.upper() == line and not line.startswith(('SETUP(', 'OKDPACK(')):
            current = line.strip()
            result[current] = []
        elif current:
            result[current].append(line)
    return result


# ---- the cases ------------------------------------------------------------------

def InstalledProgramsPackAndInstallTheDemoKit(case):
    prefix = case.install()
    found = sorted(os.path.relpath(os.path.join(d, n), prefix) for d, _, ns in os.walk(prefix) for n in ns)
    check(found == INSTALLED, 'installed %s, expected %s' % (found, INSTALLED))
    for program in ('bin/setup', 'bin/okdpack'):
        check(os.stat(os.path.join(prefix, program)).st_mode & stat.S_IXOTH, program + ' is not executable by all')
    for installed, original in (('share/man/man1/setup.1', 'doc/setup.1'), ('share/man/man1/okdpack.1', 'doc/okdpack.1'),
                                ('share/doc/setup/README.md', 'README.md')):
        with open(os.path.join(prefix, installed), 'rb') as a, open(os.path.join(case.source, original), 'rb') as b:
            check(a.read() == b.read(), installed + ' differs from ' + original)

    # The vendor packs the demo tree with the installed okdpack, kit beside setup.
    okdpack, setup = os.path.join(prefix, 'bin/okdpack'), os.path.join(prefix, 'bin/setup')
    demo = os.path.join(case.source, 'examples', 'demo')
    kit = os.path.join(prefix, 'bin', 'orvikv8.okd')
    describe = []
    for description in DEMO_DESCRIPTIONS:
        describe += ['--describe'] + list(description)
    case.run([okdpack] + describe + [demo, kit])

    # --list shows the descriptions and every file with its size.
    _, out, _ = case.run([okdpack, '--list', kit])
    rows = [line.split('\t') for line in out.splitlines()]
    check([tuple(r[1:]) for r in rows if r[0] == 'description'] == DEMO_DESCRIPTIONS, 'descriptions:\n' + out)
    source = tree(demo)
    listed = {r[3].replace('\\', '/'): int(r[1]) for r in rows if r[0] == 'file'}
    check(listed == {name: len(data) for name, (data, _) in source.items()}, 'file table:\n' + out)

    # A silent run without a display installs it into the default directory.
    code, out, err = case.run([setup, '-S'])
    check(out == '' and err == '', 'setup -S printed:\n' + out + err)
    target = os.path.join(case.home, '.orvikv8/Orvik/orvikv8/tmplts')
    installed = tree(target)
    check(installed.keys() == source.keys(), 'installed %s' % sorted(installed))
    for name, (data, time) in source.items():
        check(installed[name][0] == data, name + ': other bytes')
        check(installed[name][1] == time, name + ': another last-write time')
    with open(os.path.join(case.home, '.Orvik/orvikstart/orvikstart.cfg'), encoding='utf-8') as f:
        check(f.read() == 'ConfigurationTemplatesLocation=%s\n' % target, 'starter configuration')
    check(os.listdir(case.tmp) == [], 'left in TMPDIR: %s' % os.listdir(case.tmp))

    # Without the kit: one line in the chosen language, status 3.
    os.remove(kit)
    _, out, err = case.run([setup, '-S', '-Lde'], expect=3)
    check(err == 'Die Datei des Installationspakets orvikv8.okd wurde nicht gefunden.\n', 'stderr: ' + err)


def ManualPagesRenderWithoutWarnings(case):
    check(shutil.which('groff'), 'groff is missing (Debian package groff-base; scripts/install-deps installs it)')
    prefix = case.install()
    wanted = {'setup.1': ['NAME', 'SYNOPSIS', 'DESCRIPTION', 'OPTIONS', 'EXIT STATUS', 'ENVIRONMENT', 'FILES',
                          'SEE ALSO'],
              'okdpack.1': ['NAME', 'SYNOPSIS', 'DESCRIPTION', 'OPTIONS', 'EXIT STATUS', 'ENVIRONMENT',
                            'SHIPPING A KIT', 'SEE ALSO']}
    for page, headings in wanted.items():
        path = os.path.join(prefix, 'share/man/man1', page)
        case.manual_text(path, 60)  # a narrow terminal breaks lines elsewhere
        found = sections(case.manual_text(path))
        check([h for h in headings if h not in found] == [], '%s lacks %s' % (page, [h for h in headings if h not in found]))
        if shutil.which('man'):
            # What a vendor types; man passes -ww to groff through MANROFFOPT.
            env = dict(case.env, MANROFFOPT='-ww', MANWIDTH='80', MANPAGER='cat', PAGER='cat')
            _, out, err = case.run(['man', '-l', path], env=env)
            check(err == '' and 'EXIT STATUS' in out, '%s: man -l said:\n%s' % (page, err))
    setup_text = '\n'.join(sections(case.manual_text(os.path.join(prefix, 'share/man/man1/setup.1')))['ENVIRONMENT'])
    for variable in ('HOME', 'TMPDIR', 'LC_ALL', 'LANG', 'DISPLAY'):
        check(re.search(r'\b%s\b' % variable, setup_text), 'setup.1 ENVIRONMENT does not name ' + variable)


def OkdpackHelpAgreesWithItsManualPage(case):
    prefix = case.install()
    _, help_text, _ = case.run([os.path.join(prefix, 'bin/okdpack'), '--help'])
    page = sections(case.manual_text(os.path.join(prefix, 'share/man/man1/okdpack.1'), 200))

    option = re.compile(r'(--\S*)((?: [A-Z][A-Z-]*(?=\s|$))*)')
    helped = {m.group(1): m.group(2).split() for m in
              (option.match(line[2:]) for line in help_text.splitlines() if line.startswith('  --')) if m}
    documented = {m.group(1): m.group(2).split() for m in
                  (option.match(line[7:]) for line in page['OPTIONS'] if re.match(r'^ {7}--', line)) if m}
    check(len(helped) >= 6, 'too few options in --help:\n' + help_text)
    check(helped == documented, 'okdpack --help: %s\nokdpack.1: %s' % (helped, documented))

    usage = [line.replace('Usage:', '').strip() for line in help_text.split('\n\n')[0].splitlines()]
    synopsis = [line.strip() for line in page['SYNOPSIS'] if line.strip()]
    check(all(u in synopsis for u in usage), 'usage %s, synopsis %s' % (usage, synopsis))

    statuses = re.search(r'^Exit status: (.*)$', help_text, re.M)
    check(statuses, '--help says nothing of the exit status')
    helped_statuses = re.findall(r'(?:^|, )(\d+) ', statuses.group(1))
    documented_statuses = [m.group(1) for m in (re.match(r'^ {7}(\d+)\s', l) for l in page['EXIT STATUS']) if m]
    check(helped_statuses == documented_statuses, 'exit statuses: --help %s, page %s' % (
        helped_statuses, documented_statuses))


def ReleaseArchiveIsTheSameWhateverTheUmaskAndTimes(case):
    release = os.path.join(case.source, 'scripts', 'release')
    epoch = 1700000000
    archives = []
    for n, mask in enumerate((0o022, 0o077)):
        archive = os.path.join(case.dir, 'dist%d' % n, 'setup-linux-x86_64.tar.gz')
        env = dict(case.env, SOURCE_DATE_EPOCH=str(epoch))
        case.run([release, '--pack-only', case.build, archive], env=env, preexec_fn=lambda m=mask: os.umask(m))
        with open(archive, 'rb') as f:
            archives.append(f.read())
    check(archives[0] == archives[1], 'two packings of one build differ')

    data = archives[0]
    check(data[3] & 0x08 == 0 and data[4:8] == b'\0\0\0\0', 'the gzip header carries a name or a time')
    extracted = os.path.join(case.dir, 'extracted')
    with tarfile.open(os.path.join(case.dir, 'dist0', 'setup-linux-x86_64.tar.gz')) as tar:
        members = tar.getmembers()
        names = [m.name for m in members]
        top = 'setup-linux-x86_64'
        expected = [top] + [top + '/' + n for n in ('LICENSE', 'README-vendor.txt', 'THIRD-PARTY-NOTICES.txt', 'man',
                                                    'man/okdpack.1', 'man/setup.1', 'okdpack', 'orvikv8.okd',
                                                    'setup')]
        check(names == expected, 'entries %s' % names)
        for m in members:
            check((m.uid, m.gid, m.uname, m.gname) == (0, 0, '', ''), '%s: owner %d/%d (%r/%r)' % (m.name, m.uid, m.gid, m.uname, m.gname))
            check(m.mtime == epoch, '%s: time %d' % (m.name, m.mtime))
            executable = m.isdir() or m.name.endswith(('/setup', '/okdpack'))
            check(m.mode == (0o755 if executable else 0o644), '%s: mode %o' % (m.name, m.mode))
        tar.extractall(extracted)
    root = os.path.join(extracted, top)
    for page in ('setup.1', 'okdpack.1'):
        with open(os.path.join(root, 'man', page), 'rb') as a, open(os.path.join(case.source, 'doc', page), 'rb') as b:
            check(a.read() == b.read(), page + ' differs from doc/' + page)

    # The vendor README names every library setup asks for, and no slot is
    # left unfilled.
    with open(os.path.join(root, 'README-vendor.txt'), encoding='utf-8') as f:
        readme = f.read()
    check('@' not in readme, 'unfilled slots in README-vendor.txt:\n' + readme)
    _, dump, _ = case.run(['objdump', '-p', os.path.join(root, 'setup')])
    needed = re.findall(r'^\s*NEEDED\s+(\S+)', dump, re.M)
    check(needed, 'setup needs no shared library?')
    missing = [n for n in needed if n not in readme]
    check(missing == [], 'README-vendor.txt does not name %s' % missing)
    check(re.search(r'glibc 2\.\d+ or newer', readme), 'README-vendor.txt names no glibc version')
    # Without xdg-utils "Open description" does nothing, so it is listed.
    check('xdg-utils' in readme, 'README-vendor.txt does not ask for xdg-utils')
    # The programs in the archive run, tell one version and commit, and the
    # demo kit beside them reads.
    versions = [case.run([os.path.join(root, p), '--version'])[1].split(' ', 1)[1] for p in ('setup', 'okdpack')]
    check(versions[0] == versions[1] and versions[0].startswith(case.version + ' (commit '), 'versions %s' % versions)
    _, listing, _ = case.run([os.path.join(root, 'okdpack'), '--list', os.path.join(root, 'orvikv8.okd')])
    check('description\ten\t' in listing and '\nfile\t' in listing, 'the demo kit lists as\n' + listing)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument('case')
    for name in ('build', 'source', 'scratch', 'cmake', 'version'):
        parser.add_argument('--' + name, required=True)
    args = parser.parse_args()
    function = globals().get(args.case)
    if not callable(function):
        sys.exit('no such case: ' + args.case)
    case = Case(args)
    try:
        function(case)
    except Failure as failure:
        print('FAILED %s: %s' % (args.case, failure))
        print('(left for a look: %s)' % case.dir)
        return 1
    case.finish()
    print('passed ' + args.case)
    return 0


if __name__ == '__main__':
    sys.exit(main())
