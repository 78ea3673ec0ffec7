#!/usr/bin/env bash
# Builds the .deb packages from a built tree, unpacks them into a temporary
# root and checks what an installation would hold: the programs (each
# printing the project version), the configuration (which the daemon's own
# check accepts), the man pages, the service users and the units (which
# systemd-analyze verifies where it exists).
#   package_test.sh BUILD_DIR VERSION
# Exit 0 passed, 1 failed, 77 skipped (no dpkg-deb or cpack).
set -uo pipefail
BUILD="$1"
VERSION="$2"
for tool in dpkg-deb cpack; do
    command -v "$tool" >/dev/null || { echo "SKIP: no $tool"; exit 77; }
done

WORK="$(mktemp -d /tmp/tolvex-package-test-XXXXXX)"
trap 'rm -rf "$WORK"' EXIT
ROOT="$WORK/root"
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

if ! cpack --config "$BUILD/CPackConfig.cmake" -B "$WORK/pkg" -G DEB >"$WORK/cpack.log" 2>&1; then
    cat "$WORK/cpack.log"
    fail "cpack did not build the packages"
    exit 1
fi
for pkg in tolvexd tolvex-was tolvex-tools; do
    deb=("$WORK/pkg/${pkg}_${VERSION}_"*.deb)
    if [ ! -f "${deb[0]}" ]; then
        fail "no package $pkg $VERSION among: $(cd "$WORK/pkg" && ls -- *.deb 2>/dev/null | tr '\n' ' ')"
        continue
    fi
    dpkg-deb -x "${deb[0]}" "$ROOT"
    dpkg-deb -e "${deb[0]}" "$WORK/control-$pkg"
    grep -q "^Package: $pkg$" "$WORK/control-$pkg/control" || fail "$pkg: control names another package"
done
[ "$failures" -eq 0 ] || exit 1

# The layout, and programs that run and agree on the version.
for prog in usr/sbin/tolvexd usr/sbin/tolvex-was usr/bin/tolvex-cli usr/bin/tolvex-bench \
            usr/bin/tolvex-was-load usr/bin/tolvex-was-seed; do
    if [ ! -x "$ROOT/$prog" ]; then fail "$prog missing or not executable"; continue; fi
    out="$("$ROOT/$prog" --version 2>&1)"
    [ "$out" = "$(basename "$prog") $VERSION" ] || fail "$prog --version says '$out', not '$(basename "$prog") $VERSION'"
done
for file in etc/tolvexd/config.xml usr/share/man/man8/tolvexd.8 usr/share/man/man8/tolvex-was.8 \
            usr/share/man/man1/tolvex-cli.1 usr/lib/systemd/system/tolvexd@.service \
            usr/lib/systemd/system/tolvex-was.service usr/lib/sysusers.d/tolvexd.conf \
            usr/lib/sysusers.d/tolvex-was.conf; do
    [ -f "$ROOT/$file" ] || fail "$file missing"
done
grep -qx /etc/tolvexd/config.xml "$WORK/control-tolvexd/conffiles" 2>/dev/null ||
    fail "tolvexd: /etc/tolvexd/config.xml is not a conffile (an upgrade would overwrite edits)"
for script in postinst prerm postrm; do
    [ -x "$WORK/control-tolvexd/$script" ] || fail "tolvexd: no executable $script"
done

# The installed configuration logs where the unit lets it write, and the
# daemon's own check accepts it once those folders are reachable here.
grep -q "<cmdlogpath>/var/log/tolvexd</cmdlogpath>" "$ROOT/etc/tolvexd/config.xml" ||
    fail "config.xml does not log to /var/log/tolvexd"
mkdir -p "$WORK/log"
"$ROOT/usr/sbin/tolvexd" --check-config -c "$ROOT/etc/tolvexd/config.xml" -n 0 \
    --cmdlogpath "$WORK/log" --journal_path "$WORK/journal_0" >"$WORK/check.out" 2>&1 ||
    { cat "$WORK/check.out"; fail "tolvexd --check-config refuses the installed configuration"; }

# cmake --install over an installation keeps an edited configuration.
DESTDIR="$WORK/again" cmake --install "$BUILD" --prefix /usr --component daemon >/dev/null &&
    echo "<!-- edited -->" >>"$WORK/again/etc/tolvexd/config.xml" &&
    DESTDIR="$WORK/again" cmake --install "$BUILD" --prefix /usr --component daemon >/dev/null ||
    fail "cmake --install of the daemon"
grep -q "<!-- edited -->" "$WORK/again/etc/tolvexd/config.xml" && [ -f "$WORK/again/etc/tolvexd/config.xml.dist" ] ||
    fail "a second cmake --install replaced the edited config.xml"

# Every unit's programs are the packaged ones, and its writable folders are
# the ones the daemon and the WAS write in.
units="$ROOT/usr/lib/systemd/system"
for unit in "$units/tolvexd@.service" "$units/tolvex-was.service"; do
    for key in ExecStart ExecReload; do
        cmd="$(sed -n "s/^$key=\([^ ]*\).*/\1/p" "$unit")"
        [ -z "$cmd" ] && continue
        case "$cmd" in /usr/*) [ -x "$ROOT$cmd" ] || fail "$(basename "$unit"): $key runs $cmd, not in the packages" ;; esac
    done
    for key in NoNewPrivileges=yes ProtectSystem=strict ProtectHome=yes PrivateTmp=yes LimitNOFILE= User=; do
        grep -q "^$key" "$unit" || fail "$(basename "$unit"): no $key"
    done
done
grep -q "^ExecStart=.* -n %i " "$units/tolvexd@.service" || fail "tolvexd@.service: the instance is not the server id"
grep -q "^ReadWritePaths=.*/var/log/tolvexd" "$units/tolvexd@.service" || fail "tolvexd@.service: logs not writable"
grep -q "^ExecStart=.*--journal_path /var/lib/tolvexd/" "$units/tolvexd@.service" &&
    grep -q "^ReadWritePaths=.*/var/lib/tolvexd" "$units/tolvexd@.service" || fail "tolvexd@.service: journal not writable"
grep -q "^ExecStart=.*--db /var/lib/tolvex-was/" "$units/tolvex-was.service" &&
    grep -q "^ReadWritePaths=.*/var/lib/tolvex-was" "$units/tolvex-was.service" || fail "tolvex-was.service: database not writable"

if command -v systemd-analyze >/dev/null; then
    # The host's systemd reads copies whose programs are the unpacked ones;
    # the template needs an instance. verify exits 0 on a key it ignores,
    # so anything it says is a failure.
    mkdir -p "$WORK/units"
    for unit in tolvexd@:tolvexd@0 tolvex-was:tolvex-was; do
        sed "s|^\(Exec[A-Za-z]*=\)/usr/|\1$ROOT/usr/|" "$units/${unit%%:*}.service" >"$WORK/units/${unit#*:}.service"
    done
    if ! systemd-analyze verify --man=no "$WORK/units/tolvexd@0.service" "$WORK/units/tolvex-was.service" \
            >"$WORK/verify.log" 2>&1 || [ -s "$WORK/verify.log" ]; then
        cat "$WORK/verify.log"
        fail "systemd-analyze verify"
    fi
else
    echo "systemd-analyze not found: units not verified"
fi

if command -v systemd-sysusers >/dev/null; then
    # The users the units run as come from the packages' sysusers.d files.
    systemd-sysusers --root="$ROOT" >"$WORK/sysusers.log" 2>&1 || { cat "$WORK/sysusers.log"; fail "systemd-sysusers"; }
    for unit in "$units/tolvexd@.service" "$units/tolvex-was.service"; do
        user="$(sed -n 's/^User=//p' "$unit")"
        grep -q "^$user:" "$ROOT/etc/passwd" || fail "$(basename "$unit") runs as $user, whom no sysusers.d file makes"
    done
fi

if command -v groff >/dev/null; then
    for page in "$ROOT"/usr/share/man/man*/*; do
        warnings="$(groff -man -ww -z "$page" 2>&1)"
        [ -z "$warnings" ] || fail "$(basename "$page"): $warnings"
    done
fi

[ "$failures" -eq 0 ] && echo "packages of $VERSION: layout, versions, configuration and units as expected"
[ "$failures" -eq 0 ]
