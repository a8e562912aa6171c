#!/bin/sh
# Installation and packaging scenarios, run by ctest against the build
# directory under test (label "package"):
#
#   package_test.sh unit BUILD  installs BUILD with the prefix /usr into a
#       scratch root and has systemd verify the installed unit there: every
#       setting known and valid, ExecStart an executable file of the install,
#       each manual page in Documentation= installed.  A warning fails too.
#   package_test.sh deb BUILD   makes the Debian package of BUILD with
#       CPack and checks what an administrator gets: the file list, the
#       conffiles, computed dependencies, compressed manual pages, no lintian
#       error; then installs it into a scratch dpkg root, where no systemd
#       runs, and checks that the maintainer scripts enable the unit only
#       while a configuration exists, start nothing, and that a purge leaves
#       nothing behind.
set -eu

mode=$1
build=$(cd "$2" && pwd)
scratch=$(mktemp -d /tmp/veld-package.XXXXXX)
trap 'rm -rf "$scratch"' EXIT

fail() {
	echo "FAIL: $*" >&2
	exit 1
}

# The unit's requirements (sysinit.target and the like) must exist in the
# root verify looks at; the scratch root borrows them from this system.
verify_unit() {
	root=$scratch/root
	DESTDIR=$root cmake --install "$build" --prefix /usr >/dev/null
	[ -f "$root/lib/systemd/system/veldagentd.service" ] ||
		fail "the unit is not installed in /lib/systemd/system"
	grep -qx 'ExecStart=/usr/sbin/veldagentd -d' "$root/lib/systemd/system/veldagentd.service" ||
		fail "ExecStart does not run /usr/sbin/veldagentd -d"
	for unit in /lib/systemd/system/*; do
		[ -e "$root$unit" ] || cp -a "$unit" "$root/lib/systemd/system/"
	done
	out=$(MANPATH=$root/usr/share/man systemd-analyze verify --root="$root" veldagentd.service 2>&1) ||
		fail "systemd-analyze verify: $out"
	[ -z "$out" ] || fail "systemd-analyze verify warns: $out"
	echo "unit verified"
	rotate_under_unit_capabilities "$root"
}

# The unit's capability bounding set must still let the agent do its work on
# another user's file: read it in a directory only that user may enter,
# forward it, and rotate it into a backup with the file's owner and mode.
# The installed agent runs with exactly those capabilities (root keeps
# what the bounding set allows once nothing is inheritable) and without new
# privileges, in a mount namespace whose /var/log is a scratch directory.
rotate_under_unit_capabilities() {
	root=$1
	caps=$(sed -n 's/^CapabilityBoundingSet=//p' "$root/lib/systemd/system/veldagentd.service" |
		tr '[:upper:]' '[:lower:]' | sed -e 's/cap_/+/g' -e 's/ /,/g')
	[ -n "$caps" ] || fail "the unit sets no CapabilityBoundingSet"
	app=$scratch/app
	mkdir -p "$app" "$scratch/varlog"
	line=$(head -c 3999 /dev/zero | tr '\0' x)
	i=0
	while [ $i -lt 300 ]; do
		echo "$line"
		i=$((i + 1))
	done >"$app/app.log"
	size=$(stat -c %s "$app/app.log")
	chown -R nobody:nogroup "$app"
	chmod 0700 "$app"
	chmod 0640 "$app/app.log"

	"$root/usr/bin/veldcollect" -p 0 >/dev/null 2>"$scratch/collect.err" &
	collector=$!
	port=""
	tries=0
	while [ -z "$port" ] && [ $tries -lt 50 ]; do
		sleep 0.1
		port=$(sed -n 's|^veldcollect: listening on 127\.0\.0\.1:\([0-9]*\)/tcp$|\1|p' "$scratch/collect.err")
		tries=$((tries + 1))
	done
	[ -n "$port" ] || fail "veldcollect did not start: $(cat "$scratch/collect.err")"
	cat >"$scratch/agent.cfg" <<-EOF
		RemoteHost = 127.0.0.1
		RemotePort = $port
		LogFile = $app/app.log
		LogRotationSize = 1
		WatchdogFile = $scratch/positions
	EOF
	# shellcheck disable=SC2016 # expanded by the inner shell
	unshare -m sh -c 'mount --make-rprivate / && mount --bind "$1" /var/log && shift &&
		exec setpriv --bounding-set=-all,"$1" --inh-caps=-all --no-new-privs "$2" -d -c "$3"' \
		sh "$scratch/varlog" "$caps" "$root/usr/sbin/veldagentd" "$scratch/agent.cfg" \
		>"$scratch/agent.out" 2>&1 &
	agent=$!
	tries=0
	while [ $tries -lt 300 ]; do
		if [ -f "$app/app.log._hlr_0" ] && [ ! -s "$app/app.log" ]; then break; fi
		sleep 0.1
		tries=$((tries + 1))
	done
	kill "$agent" "$collector" 2>/dev/null || true
	wait "$agent" "$collector" 2>/dev/null || true
	backup=$app/app.log._hlr_0
	[ -f "$backup" ] || fail "no backup within 30 s under $caps: $(cat "$scratch/agent.out")"
	[ ! -s "$app/app.log" ] || fail "the live file was not emptied under $caps"
	[ "$(stat -c '%U:%G %a %s' "$backup")" = "nobody:nogroup 640 $size" ] ||
		fail "backup is $(stat -c '%U:%G %a %s' "$backup"), not nobody:nogroup 640 $size, under $caps"
	echo "rotated another user's file with $caps"
}

# dpkg into a root of its own; the maintainer scripts run outside a chroot
# with DPKG_ROOT naming the root, as on a system being assembled.  The
# dependencies are not in that root's database, so they are not enforced.
dpkg_root() {
	dpkg --root="$scratch/root" --force-script-chrootless --force-depends --force-unsafe-io "$@" \
		>>"$scratch/dpkg.log" 2>&1 || {
		cat "$scratch/dpkg.log" >&2
		fail "dpkg $*"
	}
}

build_deb() {
	(cd "$scratch" && cpack -G DEB --config "$build/CPackConfig.cmake" -B "$scratch/out" \
		>"$scratch/cpack.log" 2>&1) || {
		cat "$scratch/cpack.log" >&2
		fail "cpack -G DEB"
	}
	set -- "$scratch"/out/veldagentd_*.deb
	if [ $# -ne 1 ] || [ ! -f "$1" ]; then fail "cpack made no single veldagentd_*.deb: $*"; fi
	deb=$1
	echo "built $(basename "$deb")"

	# Every file the package installs, and nothing else (directories aside).
	dpkg-deb --fsys-tarfile "$deb" | tar -t | sed -e 's|^\./|/|' -e '/\/$/d' | sort >"$scratch/files"
	sort >"$scratch/expected" <<-EOF
		/etc/logrotate.d/veldagentd
		/etc/veldagentd.cfg
		/lib/systemd/system/veldagentd.service
		/usr/bin/veldcollect
		/usr/sbin/veldagentd
		/usr/share/doc/veldagentd/changelog.gz
		/usr/share/doc/veldagentd/copyright
		/usr/share/man/man1/veldcollect.1.gz
		/usr/share/man/man5/veldagentd.cfg.5.gz
		/usr/share/man/man8/veldagentd.8.gz
	EOF
	diff -u "$scratch/expected" "$scratch/files" || fail "the package's file list differs (- expected, + packaged)"

	dpkg-deb --info "$deb" conffiles >"$scratch/conffiles" || fail "the package has no conffiles"
	printf '/etc/logrotate.d/veldagentd\n/etc/veldagentd.cfg\n' >"$scratch/expected"
	sort "$scratch/conffiles" | diff -u "$scratch/expected" - || fail "conffiles differ (each once)"

	depends=$(dpkg-deb --field "$deb" Depends)
	echo "Depends: $depends"
	echo "$depends" | grep -Eq '(^|, )libc6( |,|$)' || fail "Depends does not name libc6"
	# The agent loads libssl for its TLS links only; the package must still bring it.
	echo "$depends" | grep -Eq '(^|, )libssl3( |,|$)' || fail "Depends does not name libssl3"
	! ldd "$build/bin/veldagentd" | grep -q libssl || fail "veldagentd is linked with libssl"
	[ "$(dpkg-deb --field "$deb" Section)" = admin ] || fail "Section is not admin"

	mkdir "$scratch/x"
	dpkg-deb -x "$deb" "$scratch/x"
	for page in man1/veldcollect.1 man5/veldagentd.cfg.5 man8/veldagentd.8; do
		gzip -t "$scratch/x/usr/share/man/$page.gz" || fail "$page.gz is not gzip data"
		warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l "$scratch/x/usr/share/man/$page.gz" 2>&1 >/dev/null)
		[ -z "$warnings" ] || fail "$page: $warnings"
	done

	# Errors fail (lintian's status 1); warnings are listed for the reader of
	# the test's output.  Any other status means lintian itself failed.
	command -v lintian >/dev/null || fail "lintian is not installed"
	rc=0
	lintian --allow-root --tag-display-limit 0 "$deb" >"$scratch/lintian" 2>&1 || rc=$?
	sed 's/^/lintian: /' "$scratch/lintian"
	[ $rc -ne 1 ] || fail "lintian reports errors"
	[ $rc -eq 0 ] || fail "lintian failed (status $rc)"
}

install_deb() {
	root=$scratch/root
	wants=$root/etc/systemd/system/multi-user.target.wants/veldagentd.service
	mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates"
	: >"$root/var/lib/dpkg/status"

	# With the shipped configuration the service is enabled; nothing runs
	# systemd here, so the scripts must not have tried to start it (that would
	# have failed the install, or reloaded this host's manager).
	dpkg_root --install "$deb"
	[ -L "$wants" ] || fail "not enabled for multi-user.target after install"
	[ "$(readlink "$wants")" = /lib/systemd/system/veldagentd.service ] ||
		fail "the enablement link points at $(readlink "$wants")"
	[ -x "$root/usr/sbin/veldagentd" ] || fail "/usr/sbin/veldagentd is not installed"
	"$root/usr/sbin/veldagentd" -V >/dev/null || fail "the installed agent does not run"

	# An administrator who removed the configuration gets no service from a
	# reinstall (dpkg keeps a removed conffile removed); once it is back, the
	# next one enables it again.
	rm "$root/etc/veldagentd.cfg"
	rm -rf "$wants" "$root/var/lib/systemd/deb-systemd-helper-enabled"  # as if never enabled
	dpkg_root --install "$deb"
	[ ! -e "$root/etc/veldagentd.cfg" ] || fail "a removed configuration came back"
	if [ -e "$wants" ] || [ -L "$wants" ]; then fail "enabled although /etc/veldagentd.cfg is missing"; fi
	cp "$scratch/x/etc/veldagentd.cfg" "$root/etc/veldagentd.cfg"
	dpkg_root --install "$deb"
	[ -L "$wants" ] || fail "not enabled once the configuration is back"

	# A purge takes away the files, the conffiles, the enablement and what the
	# agent wrote in its default places.
	mkdir -p "$root/var/log"
	: >"$root/etc/veldagentd.watchdog"
	: >"$root/var/log/veldagentd.log"
	dpkg_root --purge veldagentd
	for f in /usr/sbin/veldagentd /etc/veldagentd.cfg /etc/logrotate.d/veldagentd \
		/lib/systemd/system/veldagentd.service /etc/veldagentd.watchdog /var/log/veldagentd.log; do
		[ ! -e "$root$f" ] || fail "$f is left after purge"
	done
	if [ -e "$wants" ] || [ -L "$wants" ]; then fail "the enablement link is left after purge"; fi
	echo "installed, enabled, purged in a scratch root"
}

case $mode in
unit) verify_unit ;;
deb)
	build_deb
	install_deb
	;;
*) fail "usage: package_test.sh unit|deb BUILD_DIR" ;;
esac
