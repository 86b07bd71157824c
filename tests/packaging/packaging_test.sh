#!/bin/bash
# Installs the built tree into a temporary prefix and builds the Debian package from it, then checks both as
# the desktop, the validators, man and dpkg see them. Usage: packaging_test.sh BUILD-DIR
set -u
build=$(cd "$1" && pwd)
work=$(mktemp -d)
trap '[ -n "${KEEP:-}" ] || rm -rf "$work"' EXIT
failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}
for tool in desktop-file-validate appstreamcli groff man cpack dpkg-deb readelf lintian systemd-analyze; do
    command -v "$tool" >/dev/null || { echo "SKIP: $tool is not installed (make deps installs it)"; exit 77; }
done

app_id=com.quorvan.Ostrevo
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH 2>/dev/null || gcc -print-multiarch)
expected_files=$(LC_ALL=C sort <<FILES
bin/ostrevo
bin/ostrevo-probe
etc/ostrevo/ostrevod.yml
lib/systemd/system/ostrevod.service
lib/$multiarch/ostrevo/metrics.so
lib/$multiarch/ostrevo/sound.so
share/applications/$app_id.desktop
share/doc/ostrevo/changelog.gz
share/doc/ostrevo/copyright
share/icons/hicolor/scalable/apps/ostrevo.svg
share/man/man1/ostrevo-probe.1.gz
share/man/man1/ostrevo.1.gz
share/metainfo/$app_id.metainfo.xml
share/man/man8/ostrevod.8.gz
share/ostrevo/grafana-dashboard.json
share/ostrevo/prometheus-rules.yml
sbin/ostrevod
FILES
)

# --- cmake --install into a prefix -------------------------------------------------------------------------
prefix=$work/prefix
cmake --install "$build" --prefix "$prefix" >"$work/install.log" 2>&1 || fail "cmake --install: $(cat "$work/install.log")"
installed=$(cd "$prefix" && find . -type f -o -type l | sed 's|^\./||' | LC_ALL=C sort)
[ "$installed" = "$expected_files" ] || fail "installed files differ from the expected set:
$(diff <(echo "$expected_files") <(echo "$installed"))"

version=$(QT_QPA_PLATFORM=offscreen "$prefix/bin/ostrevo" --version | sed -n 's/^Ostrevo //p')
[ -n "$version" ] || fail "the installed ostrevo does not run or print its version"
"$prefix/bin/ostrevo-probe" >/dev/null 2>&1
[ $? -eq 2 ] || fail "the installed ostrevo-probe without arguments does not exit with the usage status 2"

desktop=$prefix/share/applications/$app_id.desktop
desktop-file-validate "$desktop" || fail "desktop-file-validate rejects $app_id.desktop"
icon=$(sed -n 's/^Icon=//p' "$desktop")
[ -f "$prefix/share/icons/hicolor/scalable/apps/$icon.svg" ] || fail "Icon=$icon names no installed icon"
exec_program=$(sed -n 's/^Exec=\([^ ]*\).*/\1/p' "$desktop")
[ -x "$prefix/bin/$exec_program" ] || fail "Exec=$exec_program names no installed program"

metainfo=$prefix/share/metainfo/$app_id.metainfo.xml
appstreamcli validate --no-net "$metainfo" >"$work/appstream.log" 2>&1 ||
    fail "appstreamcli validate: $(cat "$work/appstream.log")"
grep -q "<id>$app_id</id>" "$metainfo" || fail "the metadata id is not $app_id"
grep -q "<launchable type=\"desktop-id\">$app_id.desktop</launchable>" "$metainfo" ||
    fail "the metadata does not launch $app_id.desktop"
grep -q "<release version=\"$version\"" "$metainfo" || fail "the metadata has no release $version"
grep -q "<project_license>GPL-3.0-or-later</project_license>" "$metainfo" || fail "the metadata names another licence"
grep -q '^License: GPL-3.0+' "$prefix/share/doc/ostrevo/copyright" || fail "the copyright file names no GPL-3.0+"

for page in ostrevo ostrevo-probe; do
    file=$prefix/share/man/man1/$page.1.gz
    warnings=$(zcat "$file" | groff -man -Tutf8 -ww -z 2>&1)
    [ -z "$warnings" ] || fail "groff warns about $page.1: $warnings"
    MANWIDTH=100 man -l "$file" 2>/dev/null | col -b >"$work/$page.txt"
    grep -q "^NAME" "$work/$page.txt" && grep -q "^SYNOPSIS" "$work/$page.txt" && grep -q "^EXIT STATUS" "$work/$page.txt" ||
        fail "$page.1 lacks NAME, SYNOPSIS or EXIT STATUS"
done
service_page=$prefix/share/man/man8/ostrevod.8.gz
warnings=$(zcat "$service_page" | groff -man -Tutf8 -ww -z 2>&1)
[ -z "$warnings" ] || fail "groff warns about ostrevod.8: $warnings"
MANWIDTH=100 man -l "$service_page" 2>/dev/null | col -b >"$work/ostrevod.txt"
grep -q "^NAME" "$work/ostrevod.txt" && grep -q "^SYNOPSIS" "$work/ostrevod.txt" && grep -q "^EXIT STATUS" "$work/ostrevod.txt" ||
    fail "ostrevod.8 lacks NAME, SYNOPSIS or EXIT STATUS"
for option in $("$prefix/sbin/ostrevod" --help | grep -oE '^  --[a-z.-]+=?'); do
    grep -qF -- "$option" "$work/ostrevod.txt" || fail "ostrevod.8 does not describe $option"
done

# The service's config: good as shipped, and good with every example in it uncommented.
conffile=$prefix/etc/ostrevo/ostrevod.yml
"$prefix/sbin/ostrevod" --config.check --config.file="$conffile" >"$work/check.log" 2>&1 ||
    fail "the shipped ostrevod.yml is refused: $(cat "$work/check.log")"
sed 's/^\( *\)# \([a-z_]*:\)/\1\2/; s/^\( *\)# \(- name:\)/\1\2/; s/^  #   /    /' "$conffile" >"$work/uncommented.yml"
[ "$(grep -c '^ *#' "$work/uncommented.yml")" -lt "$(grep -c '^ *#' "$conffile")" ] || fail "no example to uncomment"
"$prefix/sbin/ostrevod" --config.check --config.file="$work/uncommented.yml" >"$work/check.log" 2>&1 ||
    fail "an example of ostrevod.yml is refused once uncommented: $(cat "$work/check.log")"

# The unit: what systemd makes of it, and how tightly it holds the service ("OK" is 2.0 or less).
unit=$work/ostrevod.service
sed "s|/usr/sbin/ostrevod|$prefix/sbin/ostrevod|" "$prefix/lib/systemd/system/ostrevod.service" >"$unit"
systemd-analyze verify --man=no "$unit" >"$work/verify.log" 2>&1 || fail "systemd-analyze verify: $(cat "$work/verify.log")"
[ ! -s "$work/verify.log" ] || fail "systemd-analyze verify warns: $(cat "$work/verify.log")"
exposure=$(systemd-analyze security --offline=yes "$unit" 2>&1 | sed -n 's/.*Overall exposure level for [^:]*: \([0-9.]*\).*/\1/p')
[ -n "$exposure" ] && awk -v e="$exposure" 'BEGIN { exit !(e <= 2.0) }' ||
    fail "systemd-analyze security rates the unit '${exposure:-nothing}', above 2.0"
for setting in DynamicUser=yes StateDirectory=ostrevo AmbientCapabilities=CAP_NET_RAW CapabilityBoundingSet=CAP_NET_RAW \
    'ExecReload=kill -HUP $MAINPID'; do
    grep -qxF "$setting" "$unit" || fail "the unit lacks $setting"
done

# Every option the programs list in their usage has its entry in the page.
for option in $(QT_QPA_PLATFORM=offscreen "$prefix/bin/ostrevo" --help | grep -oE '^  (/[a-z]+=?|--[a-z-]+=?)'); do
    grep -qF -- "$option" "$work/ostrevo.txt" || fail "ostrevo.1 does not describe $option"
done
for option in $("$prefix/bin/ostrevo-probe" --help 2>&1 | grep -oE '(^|[ [])-(-[a-z-]+|[a-z0-9])' | tr -d ' ['); do
    grep -qF -- "$option" "$work/ostrevo-probe.txt" || fail "ostrevo-probe.1 does not describe $option"
done

# --- the Debian package ------------------------------------------------------------------------------------
arch=$(dpkg --print-architecture)
(cd "$build" && cpack -G DEB -B "$work/deb") >"$work/cpack.log" 2>&1 || fail "cpack: $(tail -20 "$work/cpack.log")"
deb=$work/deb/ostrevo_${version}_$arch.deb
if [ ! -f "$deb" ]; then
    fail "no package ostrevo_${version}_$arch.deb; made: $(ls "$work/deb")"
    exit 1
fi

field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = ostrevo ] || fail "Package: $(field Package)"
[ "$(field Version)" = "$version" ] || fail "Version: $(field Version)"
[ "$(field Architecture)" = "$arch" ] || fail "Architecture: $(field Architecture)"
[ -n "$(field Maintainer)" ] && [ -n "$(field Description)" ] || fail "no Maintainer or Description"
[[ "$(field Description)" != *";"* ]] || fail "the description holds list separators: $(field Description)"
# Computed from the binaries, not written by hand.
depends=$(field Depends)
# The modules' libraries count too: Qt Multimedia and the HTTP library are needed only by them.
for library in libc6 libstdc++6 libqt6core6 libqt6widgets6 libqt6dbus6 libqt6multimedia6 libcpp-httplib0.11 \
    libyaml-cpp0.7 libssl3 libcrypt1; do
    [[ ", $depends," == *", $library "* || ", $depends," == *", $library,"* ]] || fail "Depends lacks $library: $depends"
done
[[ "$(field Recommends)" == *libcap2-bin* ]] || fail "Recommends lacks libcap2-bin, which the postinst uses"
# What a distribution would check first: no lintian error (warnings are shown, not failed on).
lintian --tag-display-limit 0 --fail-on error "$deb" >"$work/lintian.log" 2>&1 ||
    fail "lintian reports errors: $(grep -v 'root privileges' "$work/lintian.log")"
grep -E '^(W|I): ' "$work/lintian.log" | sed 's/^/lintian: /' >&2

packaged=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $6}' | sed 's|^\./usr/||; s|^\./etc/|etc/|' | LC_ALL=C sort)
[ "$packaged" = "$expected_files" ] || fail "packaged files differ from the install:
$(diff <(echo "$expected_files") <(echo "$packaged"))"
dpkg-deb -x "$deb" "$work/root"
for program in bin/ostrevo bin/ostrevo-probe sbin/ostrevod lib/$multiarch/ostrevo/metrics.so lib/$multiarch/ostrevo/sound.so; do
    readelf -S "$work/root/usr/$program" | grep -q '\.debug_info' && fail "$program is packaged with debug info"
done

# Maintainer scripts: only a postinst, which gives both programs cap_net_raw where setcap exists and never
# fails the installation over it. Removal needs no script: dpkg takes the files and their capabilities. The
# service's unit gets its capability from systemd and is left disabled, so no script touches it.
dpkg-deb -e "$deb" "$work/control"
[ "$(cat "$work/control/conffiles" 2>/dev/null)" = /etc/ostrevo/ostrevod.yml ] ||
    fail "conffiles: '$(cat "$work/control/conffiles" 2>/dev/null)', expected /etc/ostrevo/ostrevod.yml"
scripts=$(cd "$work/control" && ls | grep -vxE 'control|md5sums|conffiles' | tr '\n' ' ')
[ "$scripts" = "postinst " ] || fail "maintainer scripts: '$scripts', expected only postinst"
postinst=$work/control/postinst
[ -x "$postinst" ] || fail "postinst is not executable"
mkdir -p "$work/fake/ok" "$work/fake/failing" "$work/fake/none"
printf '#!/bin/sh\necho "$@" >>"%s"\n' "$work/setcap.calls" >"$work/fake/ok/setcap"
printf '#!/bin/sh\necho "$@" >>"%s"\necho "Failed to set capabilities" >&2\nexit 1\n' "$work/setcap.calls" \
    >"$work/fake/failing/setcap"
chmod +x "$work/fake/ok/setcap" "$work/fake/failing/setcap"
run_postinst() { # SETCAP-DIR ARGUMENT...
    local dir=$1
    shift
    rm -f "$work/setcap.calls"
    PATH=$work/fake/$dir /bin/sh "$postinst" "$@" 2>"$work/postinst.err"
}
expected_calls="cap_net_raw+ep /usr/bin/ostrevo
cap_net_raw+ep /usr/bin/ostrevo-probe"
run_postinst ok configure || fail "postinst configure failed"
[ "$(cat "$work/setcap.calls" 2>/dev/null)" = "$expected_calls" ] ||
    fail "postinst configure ran setcap as: $(cat "$work/setcap.calls" 2>/dev/null)"
run_postinst failing configure || fail "postinst fails the installation when setcap fails"
grep -q "ostrevo(1)" "$work/postinst.err" || fail "postinst does not say where to read when setcap fails"
run_postinst none configure || fail "postinst fails without setcap"
run_postinst ok abort-upgrade || fail "postinst abort-upgrade failed"
[ ! -e "$work/setcap.calls" ] || fail "postinst abort-upgrade ran setcap"

# Installed and purged for real, in a private mount namespace whose /usr, /var and /etc are overlays that
# vanish with it: the capabilities are set, and purging leaves no file and no dpkg record behind.
if [ "$(id -u)" -ne 0 ] || ! command -v unshare >/dev/null || ! command -v getcap >/dev/null; then
    echo "note: installing the package for real needs root, unshare and getcap; skipped that part"
else
    cat >"$work/install-purge.sh" <<'INNER'
set -e
layers=$1 deb=$2
mount -t tmpfs tmpfs "$layers"
for dir in usr var etc; do
    mkdir -p "$layers/$dir/upper" "$layers/$dir/work"
    mount -t overlay overlay -o "lowerdir=/$dir,upperdir=$layers/$dir/upper,workdir=$layers/$dir/work" "/$dir"
done
dpkg -i "$deb" >/dev/null
ls /etc/systemd/system/*.wants/ostrevod.service >/dev/null 2>&1 && echo "the service is enabled"
echo "caps: $(getcap /usr/bin/ostrevo /usr/bin/ostrevo-probe | tr '\n' ' ')"
echo "listed: $(dpkg -L ostrevo | grep -c -e '^/usr/bin/ostrevo' -e "^/usr/share/applications/" -e '^/usr/share/man/man1/ostrevo')"
# A user without privileges runs the program with its file capability, so the loader is in secure mode: the
# program must still find and load its metrics module, and serve.
home=$(mktemp -d) && chown nobody "$home"
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
setpriv --reuid=nobody --regid=nogroup --clear-groups env -i HOME="$home" QT_QPA_PLATFORM=offscreen \
    timeout 20 /usr/bin/ostrevo --metrics=127.0.0.1:$port 2>"$home/stderr" &
scraped=no
for _ in $(seq 50); do
    if python3 -c "import urllib.request as u; u.urlopen('http://127.0.0.1:$port/metrics', timeout=2).read()" 2>/dev/null; then
        scraped=yes
        break
    fi
    sleep 0.2
done
kill %1 2>/dev/null; wait
echo "scraped as nobody: $scraped $(cat "$home/stderr")"
rm -rf "$home"
packaged=$(dpkg -L ostrevo)
dpkg --purge ostrevo >/dev/null
dpkg -s ostrevo >/dev/null 2>&1 && echo "still known to dpkg"
# What the purge left is what the overlays' upper layers still hold, bar the whiteouts (character devices) that
# hide the files of a copy installed on the machine itself, and any packaged file the merged view still shows.
left=$(find "$layers" \( -iname '*ostrevo*' -o -iname '*quorvan*' \) ! -type c | tr '\n' ' ')
for file in $packaged; do
    [ -d "$file" ] || [ ! -e "$file" ] || left+="$file "
done
echo "left: $left"
INNER
    mkdir -p "$work/layers"
    if ! result=$(unshare -m --propagation private bash "$work/install-purge.sh" "$work/layers" "$deb" 2>&1); then
        if [[ "$result" == *"mount"* ]]; then
            echo "note: this machine cannot mount overlays in a namespace; skipped installing for real: $result"
        else
            fail "installing and purging the package: $result"
        fi
    else
        [[ "$result" == *"caps: /usr/bin/ostrevo cap_net_raw=ep /usr/bin/ostrevo-probe cap_net_raw=ep "* ]] ||
            fail "after dpkg -i the programs lack cap_net_raw: $result"
        [[ "$result" == *"listed: 5"* ]] || fail "dpkg -L does not list the programs, the entry and the pages: $result"
        [[ "$result" == *"scraped as nobody: yes"* ]] || fail "the installed program did not serve metrics: $result"
        [[ "$result" != *"still known to dpkg"* ]] || fail "dpkg still knows ostrevo after --purge"
        [[ "$result" != *"the service is enabled"* ]] || fail "installing the package enabled ostrevod.service"
        [[ "$result" == *"left: "$'\n'* || "$result" == *"left: " ]] || fail "purging left files behind: $result"
    fi
fi

# --- make uninstall takes back what an install put in place -------------------------------------------------
source=$(cd "$(dirname "$0")/../.." && pwd)
again=$work/again
cmake --install "$build" --prefix "$again" >"$work/install-again.log" 2>&1 || fail "cmake --install again failed"
make -C "$source" --no-print-directory uninstall BUILD="$build" >"$work/uninstall.log" 2>&1 ||
    fail "make uninstall: $(cat "$work/uninstall.log")"
left=$(cd "$again" && find . -type f -o -type l -o -type d -name '*ostrevo*' | tr '\n' ' ')
[ -z "$left" ] || fail "make uninstall left: $left"

if [ $failures -ne 0 ]; then
    echo "$failures packaging check(s) failed" >&2
    exit 1
fi
echo "packaging: all checks passed"
