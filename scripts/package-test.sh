#!/usr/bin/env bash
# Builds the amd64 Debian packages (pellix, pellix-dev, pellix-bridge) twice,
# at a lower version and at the project's, and checks what they do:
#   - installed, upgraded and removed with dpkg into a throw-away root
#     (dpkg --root, maintainer scripts run with DPKG_ROOT: the machine's own
#     files are left alone): after the install the user pellix exists, /work
#     is the hub's, both units are enabled and the conffiles are registered;
#     the upgrade keeps edited conffiles, the user and the enablement; the
#     removal leaves the conffiles and masks the units, the purge leaves
#     nothing of the packages but the user and /work;
#   - systemd-analyze verifies both units and rates their exposure at most
#     4.5 (the hub) and 2.5 (the bridge);
#   - the installed hub, run as the unit's ExecStartPre and ExecStart do it
#     (as an unprivileged user with nothing but CAP_KILL, where setpriv
#     allows it) under a temporary PELLIX_ROOT, is reached by the installed
#     pellix-cli over TCP and the Unix socket (dump, a send and a publication
#     seen by a listener), and ends with status 255 on SIGTERM;
#   - the example module, built against the installed SDK once through
#     pkg-config and once through find_package(Pellix), answers a frame
#     from pellix-cli through that hub;
#   - the installed pellix-bridge, between that hub and a mosquitto broker,
#     carries an event from pellix-cli to mosquitto_sub; only its package
#     depends on libmosquitto;
#   - the programs and the SDK are as large as doc/operations.md says, within
#     5 % (scripts/sizes.py; PELLIX_WRITE_SIZES=1 writes the figures instead).
# The hub runs in a network namespace of its own on the default port when
# the machine allows one, else on a free port.
#   scripts/package-test.sh [build dir]      (default build-package; an
#                                            existing one is used as it is)
set -euo pipefail
cd "$(dirname "$0")/.."
source=$PWD
self=$source/scripts/package-test.sh

fail() {
  echo "package-test: $*" >&2
  exit 1
}

# --- inside: the checks against the unpacked root, maybe in a namespace ---
if [ "${1:-}" = "--inside" ]; then
  work=$2
  port=$3
  root=$work/root
  cli=$root/usr/bin/pellix-cli
  unit=$root/usr/lib/systemd/system/pellix.service
  hub=$work/hub
  export PELLIX_ROOT=$hub
  if [ "$port" = 10032 ]; then
    ip link set lo up
  fi
  mkdir -p "$hub/tmp" "$hub/work"
  if [ "$port" != 10032 ]; then
    printf '{ "tcpListenPort" : %s }\n' "$port" > "$hub/work/pellixPara.json"
  fi
  tcp=(--tcp "127.0.0.1:$port")

  # The unit's own command lines; the programs are taken from the installed
  # root, and ${PELLIX_ROOT} means for the shell what it means for systemd.
  # The one run as root ("+": the hand-over of the real /work and /tmp to
  # the user pellix) is only checked to be there.
  prepare=$(sed -n 's/^ExecStartPre=+//p' "$unit")
  pre=$(sed -n '/^ExecStartPre=+/d; s/^ExecStartPre=//p' "$unit")
  start=$(sed -n 's/^ExecStart=//p' "$unit")
  [ -n "$pre" ] && [ -n "$start" ] || fail "no ExecStartPre or ExecStart in $unit"
  [ "$prepare" = /usr/lib/pellix/pellix-prepare ] && [ -x "$root$prepare" ] ||
    fail "the privileged ExecStartPre is '$prepare', not the installed /usr/lib/pellix/pellix-prepare"
  case "$start" in
    /usr/bin/pellix) ;;
    *) fail "ExecStart is '$start', expected /usr/bin/pellix" ;;
  esac
  for line in Restart=always Type=notify User=pellix AmbientCapabilities=CAP_KILL; do
    grep -qx "$line" "$unit" || fail "the unit does not say $line"
  done
  # As the unit runs the hub: a user of no privilege but CAP_KILL, which may
  # not gain any. nobody writes the trial root, as pellix writes /work.
  as_unit=()
  if setpriv --reuid=nobody --regid=nogroup --clear-groups --inh-caps=-all,+kill --ambient-caps=-all,+kill \
      --bounding-set=-all,+kill --no-new-privs true 2> /dev/null; then
    # shellcheck disable=SC2054 # the commas are setpriv's
    as_unit=(setpriv --reuid=nobody --regid=nogroup --clear-groups --inh-caps=-all,+kill \
             --ambient-caps=-all,+kill --bounding-set=-all,+kill --no-new-privs)
    chown -R nobody:nogroup "$hub"
  fi
  echo "ExecStartPre: $pre"
  "${as_unit[@]}" sh -c "$pre"
  [ -d "$hub/work/data/log" ] || fail "ExecStartPre did not create $hub/work/data/log"

  echo "ExecStart: $start (from $root${as_unit[*]:+, as nobody with CAP_KILL only})"
  "${as_unit[@]}" "$root$start" > "$work/hub.out" 2> "$work/hub.err" &
  hub_pid=$!
  cleanup_hub() { kill -9 "$hub_pid" 2> /dev/null || true; }
  trap cleanup_hub EXIT
  ready=0
  for _ in $(seq 1 100); do
    if "$cli" dump "${tcp[@]}" > /dev/null 2>&1; then
      ready=1
      break
    fi
    kill -0 "$hub_pid" 2> /dev/null || fail "the hub ended at once: $(cat "$work/hub.err")"
    sleep 0.1
  done
  [ "$ready" -eq 1 ] || fail "the hub did not answer on port $port"
  "$cli" dump --unix "$hub/tmp/qm_sock" || fail "pellix-cli dump over the Unix socket failed"

  # A listener as module 0x10 on event 7; one frame and one publication.
  "$cli" listen 7 --id 0x10 --name pkg-listener --json --count 2 --timeout 20 "${tcp[@]}" \
    > "$work/listen.out" 2> "$work/listen.err" &
  listen_pid=$!
  for _ in $(seq 1 100); do
    grep -q '"type":"subscribed"' "$work/listen.out" && break
    sleep 0.1
  done
  grep -q '"type":"subscribed"' "$work/listen.out" || fail "the listener did not subscribe: $(cat "$work/listen.err")"
  "$cli" send 0x10 0x42 "from the package" "${tcp[@]}"
  "$cli" pub 7 --unix "$hub/tmp/qm_sock" --text "event seven"
  wait "$listen_pid" || fail "the listener ended with status $?: $(cat "$work/listen.err")"
  cat "$work/listen.out"
  grep -q '"type":"frame".*"cmd":66.*"text":"from the package"' "$work/listen.out" || fail "the frame did not arrive"
  grep -q '"type":"event","event":7.*"text":"event seven"' "$work/listen.out" || fail "the event did not arrive"

  # The example module built against the installed SDK, both ways: it
  # answers command 0x0010 to the sender with 0x0011.
  for module in "$work/module-pkgconfig" "$work/module-cmake/pellix-example-module"; do
    "$module" --tcp "127.0.0.1:$port" --id 0x42 > "$work/module.out" 2>&1 &
    module_pid=$!
    for _ in $(seq 1 100); do
      grep -q "registered as 0x42" "$work/module.out" && break
      sleep 0.1
    done
    grep -q "registered as 0x42" "$work/module.out" || fail "$module did not register: $(cat "$work/module.out")"
    "$cli" listen --id 0x11 --name pkg-asker --json --count 1 --timeout 20 "${tcp[@]}" > "$work/answer.out" &
    answer_pid=$!
    for _ in $(seq 1 100); do
      grep -q '"type":"registered"' "$work/answer.out" && break
      sleep 0.1
    done
    "$cli" send 0x42 0x10 ping --src 0x11 "${tcp[@]}" > /dev/null
    wait "$answer_pid" || fail "no answer from $module"
    grep -q '"type":"frame".*"src":66,"cmd":17.*"text":"ping"' "$work/answer.out" ||
      fail "$module answered wrongly: $(cat "$work/answer.out")"
    echo "$(basename "$module"): answered ping"
    # The same question with the installed tool's call.
    "$cli" call 0x42 0x10 pong --reply-cmd 0x11 --json "${tcp[@]}" > "$work/call.out" ||
      fail "pellix-cli call got no answer from $module"
    grep -q '"type":"reply","dev":[0-9]*,"src":66,"cmd":17.*"text":"pong"' "$work/call.out" ||
      fail "pellix-cli call printed $(cat "$work/call.out")"
    kill -TERM "$module_pid"
    wait "$module_pid" || true
  done

  # Metrics, and a capture read back with the installed dissector.
  [ "$("$cli" status --openmetrics "${tcp[@]}" | tail -n 1)" = "# EOF" ] || fail "status --openmetrics did not end with # EOF"
  "$cli" capture --write "$work/hub.pcapng" --count 1 --timeout 10 "${tcp[@]}" > "$work/capture.out" &
  capture_pid=$!
  for _ in $(seq 1 100); do
    grep -q "capturing" "$work/capture.out" && break
    sleep 0.1
  done
  "$cli" pub 9 captured "${tcp[@]}" > /dev/null
  wait "$capture_pid" || fail "pellix-cli capture ended with status $?"
  if command -v tshark > /dev/null; then
    decoded=$(tshark -X "lua_script:$root/usr/share/pellix/pellix.lua" -r "$work/hub.pcapng" -T fields \
      -e pellix.monitor.kind -e pellix.event 2> /dev/null)
    [ "$decoded" = "$(printf '2\t9')" ] || fail "tshark read the capture as '$decoded'"
    echo "capture: read back by tshark with the installed dissector"
  fi

  # The installed bridge between this hub and a broker of its own.
  bridge_unit=$root/usr/lib/systemd/system/pellix-bridge.service
  # shellcheck disable=SC2016
  [ "$(sed -n 's/^ExecStart=//p' "$bridge_unit")" = '/usr/bin/pellix-bridge ${CREDENTIALS_DIRECTORY}/bridge.json' ] &&
    grep -qx "LoadCredential=bridge.json:/etc/pellix-bridge/bridge.json" "$bridge_unit" ||
    fail "the bridge unit does not run /usr/bin/pellix-bridge on the credential of /etc/pellix-bridge/bridge.json"
  mqtt_port=$((port + 1))
  printf 'listener %s 127.0.0.1\nallow_anonymous true\nuser root\n' "$mqtt_port" > "$work/mosquitto.conf"
  mosquitto -c "$work/mosquitto.conf" > "$work/mosquitto.out" 2>&1 &
  broker_pid=$!
  printf '{ "broker": { "port": %s, "clientId": "pkg-bridge" }, "hub": { "port": %s, "moduleId": "0x50" },
  "prefix": "pkg", "out": [ { "event": 8, "topic": "{prefix}/event/{event}", "qos": 1 } ] }\n' \
    "$mqtt_port" "$port" > "$work/bridge.json"
  "$root/usr/bin/pellix-bridge" "$work/bridge.json" > "$work/bridge.out" 2>&1 &
  bridge_pid=$!
  cleanup_hub() { kill -9 "$hub_pid" "$broker_pid" "$bridge_pid" 2> /dev/null || true; }
  for _ in $(seq 1 100); do
    grep -q "broker link up" "$work/bridge.out" && break
    sleep 0.1
  done
  grep -q "broker link up" "$work/bridge.out" || fail "the bridge did not reach the broker: $(cat "$work/bridge.out")"
  timeout 10 mosquitto_sub -p "$mqtt_port" -t pkg/event/8 -C 1 > "$work/sub.out" &
  sub_pid=$!
  sleep 0.5
  "$cli" pub 8 "through the bridge" "${tcp[@]}" > /dev/null
  wait "$sub_pid" || fail "no message on pkg/event/8: $(cat "$work/bridge.out")"
  [ "$(cat "$work/sub.out")" = "through the bridge" ] || fail "the bridge carried '$(cat "$work/sub.out")'"
  echo "pellix-bridge: carried an event to the broker"
  kill -TERM "$bridge_pid"
  wait "$bridge_pid" || fail "the bridge ended with status $? on SIGTERM"
  kill -TERM "$broker_pid"
  wait "$broker_pid" || true

  grep -q "pellix start" "$hub/work/data/log/Pellix.txt" || fail "no start record in the hub's log"
  kill -TERM "$hub_pid"
  status=0
  wait "$hub_pid" || status=$?
  trap - EXIT
  [ "$status" -eq 255 ] || fail "the hub ended with status $status on SIGTERM, expected 255"
  echo "hub ended with status 255 on SIGTERM"
  exit 0
fi

# --- outside: build, package, inspect, install, upgrade, remove ---
build=${1:-build-package}
jobs=$(nproc 2>/dev/null || echo 2)
# systemd: systemd-analyze, systemd-sysusers and systemd-tmpfiles for the
# maintainer scripts; init-system-helpers: deb-systemd-helper.
scripts/setup.sh file iproute2 mosquitto mosquitto-clients systemd init-system-helpers
sudo=""
[ "$(id -u)" -eq 0 ] || sudo=sudo
# A build directory that exists already (the plain build of the test run)
# is packaged as it is configured.
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPELLIX_WERROR=ON -DPELLIX_BUILD_TESTS=OFF \
    -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON
fi
cmake --build "$build" -j "$jobs" --target pellix pellix-cli pellix_client pellix-bridge
# The packages twice: at the project's version, and at one below it that the
# upgrade starts from.
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
[ -n "$version" ] || fail "no project version in $build/CMakeCache.txt"
old_version="$version~pkgtest"
rm -rf "$build/packages" "$build/packages-old"
(cd "$build" && cpack -G DEB -C RelWithDebInfo > cpack.log && cpack -G DEB -C RelWithDebInfo -R "$old_version" \
  -B "$PWD/packages-old" > cpack-old.log) || { cat "$build/cpack.log" "$build/cpack-old.log"; fail "cpack failed"; }

deb=$(ls "$build"/packages/pellix_*_amd64.deb)
dev=$(ls "$build"/packages/pellix-dev_*_amd64.deb)
bridge=$(ls "$build"/packages/pellix-bridge_*_amd64.deb)
old_debs=("$build"/packages-old/pellix_*_amd64.deb "$build"/packages-old/pellix-dev_*_amd64.deb
          "$build"/packages-old/pellix-bridge_*_amd64.deb)
for package in "$deb" "$dev" "$bridge"; do
  echo "== $package"
  dpkg-deb -I "$package"
  dpkg-deb -c "$package"
done
[ "$(dpkg-deb -f "${old_debs[0]}" Version)" = "$old_version" ] || fail "the older package is not at $old_version"
dpkg --compare-versions "$old_version" lt "$version" || fail "$old_version is not below $version"
depends=$(dpkg-deb -f "$deb" Depends)
for need in libspdlog1.10 libfmt9 libjsoncpp25 psmisc "systemd | systemd-sysusers" init-system-helpers; do
  [[ "$depends" == *"$need"* ]] || fail "pellix does not depend on $need: $depends"
done
[[ "$depends" != *libmosquitto* ]] || fail "pellix depends on libmosquitto: $depends"
[[ "$(dpkg-deb -f "$bridge" Depends)" == *libmosquitto1* ]] || fail "pellix-bridge does not depend on libmosquitto1"
contents=$(dpkg-deb -c "$deb"; dpkg-deb -c "$dev"; dpkg-deb -c "$bridge")
for path in ./usr/bin/pellix ./usr/bin/pellix-cli ./usr/lib/systemd/system/pellix.service \
    ./usr/lib/pellix/pellix-prepare ./usr/lib/sysusers.d/pellix.conf ./usr/lib/tmpfiles.d/pellix.conf \
    ./etc/default/pellix ./etc/pellix/access.json ./usr/share/pellix/pellixPara.hardened.json \
    ./usr/share/pellix/pellixAccess.json \
    ./usr/lib/libpellix_client.a ./usr/include/pellix/CPellixClient.h \
    ./usr/lib/cmake/Pellix/PellixConfig.cmake ./usr/lib/pkgconfig/pellix.pc \
    ./usr/bin/pellix-bridge ./usr/lib/systemd/system/pellix-bridge.service \
    ./etc/pellix-bridge/bridge.json ./usr/share/pellix-bridge/bridge.example.json \
    ./usr/share/pellix-bridge/bridge.local.json ./usr/share/pellix-bridge/mosquitto.local.conf \
    ./usr/share/man/man8/pellix.8.gz ./usr/share/man/man1/pellix-cli.1.gz ./usr/share/man/man8/pellix-bridge.8.gz \
    ./usr/share/bash-completion/completions/pellix-cli ./usr/share/pellix/pellix.lua; do
  grep -q " $path\$" <<< "$contents" || fail "$path is in neither package"
done
grep -q "^-rw------- root/root .* ./etc/pellix-bridge/bridge.json\$" <<< "$contents" ||
  fail "/etc/pellix-bridge/bridge.json is not root's alone (0600)"

work=$(mktemp -d)
trap '$sudo rm -rf "$work"' EXIT
chmod 755 "$work" # the hub runs as nobody from the root below
root=$work/root

# --- the packages' life in the throw-away root ---
# Maintainer scripts run outside it with DPKG_ROOT set (dpkg does that), as
# they do when an image is built; with no systemd running in there they
# enable and disable units but start and stop nothing.
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates" "$root/var/lib/dpkg/triggers"
touch "$root/var/lib/dpkg/status" "$root/var/lib/dpkg/available"
in_root() {
  # --force-depends: the root holds none of the libraries the packages need.
  $sudo dpkg --root="$root" --force-script-chrootless --force-depends --force-confdef --force-confold \
    --log="$work/dpkg.log" "$@" >> "$work/dpkg.out" 2>&1 || { cat "$work/dpkg.out"; fail "dpkg $*"; }
}
field() { # package, dpkg-query field
  dpkg-query --admindir="$root/var/lib/dpkg" -W -f="\${$2}" "$1" 2> /dev/null || true
}
wants=$root/etc/systemd/system/multi-user.target.wants
expect_installed() { # version
  for package in pellix pellix-dev pellix-bridge; do
    [ "$(field $package Status)" = "install ok installed" ] || fail "$package is '$(field $package Status)'"
    [ "$(field $package Version)" = "$1" ] || fail "$package is at '$(field $package Version)', not $1"
  done
  for path in usr/bin/pellix usr/bin/pellix-cli usr/bin/pellix-bridge usr/lib/libpellix_client.a; do
    [ -f "$root/$path" ] || fail "/$path is not installed"
  done
  pellix_uid=$(awk -F: '$1 == "pellix" { print $3 }' "$root/etc/passwd")
  [ -n "$pellix_uid" ] && [ "$pellix_uid" -gt 0 ] && [ "$pellix_uid" -lt 1000 ] ||
    fail "no system user pellix in the root's /etc/passwd"
  pellix_gid=$(awk -F: '$1 == "pellix" { print $3 }' "$root/etc/group")
  [ "$(stat -c '%u %g %a' "$root/work")" = "0 $pellix_gid 1775" ] ||
    fail "/work is not root's, sticky and writable by the group pellix: $(stat -c '%u %g %a' "$root/work")"
  [ "$(stat -c %u "$root/work/data/log")" = "$pellix_uid" ] || fail "/work/data/log is not the user pellix's"
  for unit in pellix.service pellix-bridge.service; do
    [ "$(readlink "$wants/$unit")" = "/usr/lib/systemd/system/$unit" ] || fail "$unit is not enabled"
  done
  [[ "$(field pellix Conffiles)" == *" /etc/default/pellix "* ]] || fail "/etc/default/pellix is no conffile"
  [[ "$(field pellix Conffiles)" == *" /etc/pellix/access.json "* ]] || fail "/etc/pellix/access.json is no conffile"
  [[ "$(field pellix-bridge Conffiles)" == *" /etc/pellix-bridge/bridge.json "* ]] ||
    fail "/etc/pellix-bridge/bridge.json is no conffile"
}

echo "== install $old_version into $root"
in_root -i "${old_debs[@]}"
expect_installed "$old_version"
first_uid=$pellix_uid
echo "installed: user pellix ($pellix_uid), /work open to it, both units enabled, conffiles registered"
# What an operator would edit; the upgrade must keep it.
echo "PELLIX_ROOT=/tmp/edited-by-the-operator" | $sudo tee -a "$root/etc/default/pellix" > /dev/null
echo "// edited by the operator" | $sudo tee -a "$root/etc/pellix-bridge/bridge.json" > /dev/null

echo "== upgrade to $version"
in_root -i "$deb" "$dev" "$bridge"
expect_installed "$version"
[ "$pellix_uid" = "$first_uid" ] || fail "the upgrade changed the user pellix ($first_uid, now $pellix_uid)"
grep -qx "PELLIX_ROOT=/tmp/edited-by-the-operator" "$root/etc/default/pellix" ||
  fail "the upgrade lost the edit of /etc/default/pellix"
$sudo grep -qx "// edited by the operator" "$root/etc/pellix-bridge/bridge.json" ||
  fail "the upgrade lost the edit of /etc/pellix-bridge/bridge.json"
leftovers=$(find "$root/etc" -name '*.dpkg-*')
[ -z "$leftovers" ] || fail "the upgrade left $leftovers"
echo "upgraded: edited conffiles kept, the same user, the units still enabled"
# The rest of the test runs the packages' programs from this root.
# The manual pages render without a warning; the completion loads.
for page in man8/pellix.8.gz man1/pellix-cli.1.gz man8/pellix-bridge.8.gz; do
  warnings=$(MANWIDTH=80 man --warnings -l "$root/usr/share/man/$page" 2>&1 > /dev/null) ||
    fail "man -l $page failed"
  [ -z "$warnings" ] || fail "man -l $page: $warnings"
done
bash -c "source '$root/usr/share/bash-completion/completions/pellix-cli' && complete -p pellix-cli" ||
  fail "the bash completion does not load"
echo "manual pages and completion: in place"
for binary in pellix pellix-cli pellix-bridge; do
  description=$(file -b "$root/usr/bin/$binary")
  echo "usr/bin/$binary: $description"
  [[ "$description" == *", stripped"* ]] || fail "usr/bin/$binary is not stripped"
done

# systemd's own check of the units, with the programs where the root has
# them, and its rating of their sandboxes (0 to 100: ten times the exposure).
mkdir -p "$work/unit"
for unit in pellix.service:45 pellix-bridge.service:25; do
  name=${unit%%:*}
  threshold=${unit##*:}
  sed -E "s#^(ExecStart(Pre)?=\+?)/usr/(bin|lib/pellix)/#\1$root/usr/\3/#" "$root/usr/lib/systemd/system/$name" \
    > "$work/unit/$name"
  systemd-analyze verify "$work/unit/$name" || fail "systemd-analyze verify rejects $name"
  rating=$(systemd-analyze security --offline=true --threshold="$threshold" "$work/unit/$name" 2>&1) ||
    { echo "$rating"; fail "$name is rated above $((threshold / 10)).$((threshold % 10))"; }
  echo "systemd-analyze: $name is sound; $(grep -o 'exposure level for .*' <<< "$rating")"
done

# Modules built against the installed SDK, as a device engineer would.
export PKG_CONFIG_PATH=$root/usr/lib/pkgconfig
echo "pkg-config pellix: $(pkg-config --cflags --libs pellix)"
# shellcheck disable=SC2046
g++ -std=c++17 -O1 "$source/examples/ExampleModule.cpp" -o "$work/module-pkgconfig" $(pkg-config --cflags --libs pellix)
mkdir -p "$work/module-cmake-src"
cp "$source/examples/ExampleModule.cpp" "$work/module-cmake-src/"
cat > "$work/module-cmake-src/CMakeLists.txt" << 'EOF'
cmake_minimum_required(VERSION 3.16)
project(pellix_module LANGUAGES CXX)
find_package(Pellix 0.1 REQUIRED)
add_executable(pellix-example-module ExampleModule.cpp)
target_link_libraries(pellix-example-module PRIVATE Pellix::client)
EOF
cmake -S "$work/module-cmake-src" -B "$work/module-cmake" -DCMAKE_PREFIX_PATH="$root/usr" > "$work/module-cmake.log" ||
  { cat "$work/module-cmake.log"; fail "find_package(Pellix) failed"; }
cmake --build "$work/module-cmake" > "$work/module-cmake-build.log" ||
  { cat "$work/module-cmake-build.log"; fail "the module did not build against Pellix::client"; }

if [ "${PELLIX_PACKAGE_TEST_NO_NETNS:-0}" != 1 ] && unshare -n true 2> /dev/null && command -v ip > /dev/null; then
  echo "== the hub in a network namespace of its own, on the default port"
  unshare -n -- "$self" --inside "$work" 10032
else
  port=$(( (RANDOM % 20000) + 30000 ))
  while ss -Htuln 2> /dev/null | awk '{print $5}' | grep -q ":$port\$"; do
    port=$(( (RANDOM % 20000) + 30000 ))
  done
  echo "== the hub on port $port"
  "$self" --inside "$work" "$port"
fi

echo "== remove"
in_root -r pellix pellix-dev pellix-bridge
for package in pellix pellix-bridge; do
  [ "$(field $package Status)" = "deinstall ok config-files" ] || fail "$package is '$(field $package Status)'"
done
[ "$(field pellix-dev Status)" = "deinstall ok not-installed" ] || [ -z "$(field pellix-dev Status)" ] ||
  fail "pellix-dev is '$(field pellix-dev Status)'"
for path in usr/bin/pellix usr/bin/pellix-cli usr/bin/pellix-bridge usr/lib/libpellix_client.a \
    usr/lib/systemd/system/pellix.service usr/lib/systemd/system/pellix-bridge.service; do
  [ ! -e "$root/$path" ] || fail "/$path is still there after the removal"
done
for unit in pellix.service pellix-bridge.service; do
  [ "$(readlink "$root/etc/systemd/system/$unit")" = /dev/null ] || fail "$unit is not masked after the removal"
done
[ -f "$root/etc/default/pellix" ] && $sudo test -f "$root/etc/pellix-bridge/bridge.json" ||
  fail "the removal took the conffiles"
echo "removed: programs and units gone, units masked, conffiles kept"

echo "== purge"
in_root -P pellix pellix-bridge
for package in pellix pellix-bridge; do
  status=$(field $package Status)
  [ -z "$status" ] || [ "$status" = "unknown ok not-installed" ] || fail "$package is '$status' after the purge"
done
left=$(cd "$root" && find etc usr var/lib/systemd -mindepth 1 \( -type f -o -type l \) \
  -not -path 'etc/passwd*' -not -path 'etc/group*' -not -path 'etc/shadow*' -not -path 'etc/gshadow*' \
  -not -name .pwd.lock 2> /dev/null || true)
[ -z "$left" ] || fail "the purge left: $left"
grep -q "^pellix:" "$root/etc/passwd" && [ -d "$root/work/data/log" ] ||
  fail "the purge took the user pellix or /work, which may still own the device's files"
echo "purged: nothing left but the user pellix and /work"

echo "== sizes"
scripts/sizes.py "$build"
echo "package-test: passed"
