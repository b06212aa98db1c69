#!/usr/bin/env bash
# talsim's command line: exit statuses and messages of config and send.
# usage: talsim_cli_test.sh TALSIM EXAMPLES_DIR
set -uo pipefail
talsim=$1
examples=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0

expect() { # NAME STATUS PATTERN -- COMMAND...
    local name=$1 status=$2 pattern=$3
    shift 4
    local out rc
    out=$("$@" 2>&1)
    rc=$?
    if [ "$rc" -ne "$status" ] || ! grep -qE -- "$pattern" <<<"$out"; then
        echo "FAIL: $name: exit $rc (want $status), output:"
        echo "$out" | head -5
        failures=$((failures + 1))
    fi
}

printf 'REGEDIT4\n[HKEY_LOCAL_MACHINE\\X\\Parameters]\n"Channel"=dword:3\n' >"$work/noio.reg"
printf 'REGEDIT4\n[HKEY_LOCAL_MACHINE\\X\\Parameters]\n"Channel"=dword:3\n"ESSID"="open\n' >"$work/bad.reg"

expect "config of the example" 0 '^  Desired_ESSID +ESSID +"TalNet" \(6 bytes\)$' -- \
    "$talsim" config "$examples/adapter.reg"
expect "config shows the converted keys" 0 'WepDefaultKey1 +A1 B2 C3 D4 E5' -- \
    "$talsim" config "$examples/adapter.reg"
expect "config without IoBaseAddress" 1 'NDIS_STATUS_FAILURE \(0xC0000001\)' -- \
    "$talsim" config "$work/noio.reg"
expect "config of a malformed file" 2 "^$work/bad.reg:4: missing closing quote$" -- \
    "$talsim" config "$work/bad.reg"
expect "config of a missing file" 2 'nofile.reg:0: cannot open file' -- \
    "$talsim" config "$work/nofile.reg"
expect "config without a file" 2 'usage: talsim config' -- "$talsim" config
expect "unknown subcommand" 2 "unknown subcommand 'frobnicate'" -- "$talsim" frobnicate
expect "help" 0 'usage: talsim send FILE.reg' -- "$talsim" send --help
expect "send four frames" 0 '4 frames on the air' -- \
    "$talsim" send "$examples/adapter.reg" --pcap "$work/a.pcap" --count 4
expect "send without IoBaseAddress" 1 'NDIS_STATUS_FAILURE' -- \
    "$talsim" send "$work/noio.reg" --pcap "$work/b.pcap"
expect "send with a bad count" 2 'count takes a number' -- \
    "$talsim" send "$examples/adapter.reg" --count 0
expect "send to an unwritable capture" 2 'a.pcap' -- \
    "$talsim" send "$examples/adapter.reg" --pcap "$work/none/a.pcap"
printf '[[ap]]\nbssid = "00:0b:0e:aa:00:02"\nssid = "Harbour"\nchannel = 16\n' >"$work/bad.toml"
printf '[[ap]]\nbssid = "00:0b:0e:aa:00:02"\nssid = "Harbour"\nchannel = 1\n' >"$work/harbour.toml"
expect "world: join and ping" 0 'reply from 192.0.2.1: icmp_seq=2' -- \
    "$talsim" world "$examples/adapter.reg" --pcap "$work/w.pcap" --pings 2
expect "world: link changes over a run" 0 'link status 1 \(connected\)' -- \
    "$talsim" world "$examples/adapter.reg" --pcap "$work/w.pcap" --pings 0 --run 100
expect "world: a malformed world file" 2 "^$work/bad.toml:4: channel must be an integer from 1 to 14$" -- \
    "$talsim" world "$examples/adapter.reg" --world "$work/bad.toml"
expect "world: no network of the adapter's name" 1 'no access point joined' -- \
    "$talsim" world "$examples/adapter.reg" --world "$work/harbour.toml" --pcap "$work/w.pcap"
expect "world: a bad ping count" 2 'pings takes a number' -- \
    "$talsim" world "$examples/adapter.reg" --pings x

# The capture is a classic pcap with radiotap (link type 127).
magic=$(od -An -tx1 -N4 "$work/a.pcap" | tr -d ' \n')
linktype=$(od -An -tu4 -j20 -N4 "$work/a.pcap" | tr -d ' \n')
if [ "$magic" != "d4c3b2a1" ] || [ "$linktype" != "127" ]; then
    echo "FAIL: capture header: magic $magic link type $linktype"
    failures=$((failures + 1))
fi

[ "$failures" -eq 0 ] && echo "talsim command line: all cases pass"
exit $((failures > 0))
