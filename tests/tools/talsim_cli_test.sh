#!/usr/bin/env bash
# talsim's command line: for each case the exit status and a line that must
# show on standard output or error; no raw control byte may reach either.
# usage: talsim_cli_test.sh TALSIM EXAMPLES_DIR
set -uo pipefail
talsim=$1
examples=$2
reg=$examples/adapter.reg
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1
failures=0

# CASE NAME | STATUS | PATTERN (extended regex) | command line, words split on blanks
cases() {
    cat <<EOF
config of the example | 0 | ^  Desired_ESSID +ESSID +"TalNet" \(6 bytes\)$ | config $reg
config shows the converted keys | 0 | WepDefaultKey1 +A1 B2 C3 D4 E5 | config $reg
config without IoBaseAddress | 1 | NDIS_STATUS_FAILURE \(0xC0000001\) | config noio.reg
config of a malformed file | 2 | ^bad.reg:4: missing closing quote$ | config bad.reg
config of a missing file | 2 | ^nofile.reg: No such file or directory$ | config nofile.reg
config of a directory | 2 | ^$work: Is a directory$ | config $work
config of an endless device | 2 | ^/dev/zero: larger than 1 MiB; not read$ | config /dev/zero
config of a file over 1 MiB | 2 | ^big.reg: larger than 1 MiB; not read$ | config big.reg
config of a binary file | 2 | ^binary.reg:1: NUL byte in line$ | config binary.reg
a quoted line is escaped and cut | 2 | found '\\\\x1B\[2J\\\\x1B\]0;owned\\\\x07 and the rest of a very lo\.\.\.'$ | config escape.reg
a C1 control is escaped | 2 | found 'x\\\\xC2\\\\x9B1mx \\\\xFF'$ | config c1.reg
config of a file of exactly 1 MiB | 1 | NDIS_STATUS_FAILURE \(0xC0000001\) | config full.reg
config without a file | 2 | ^talsim config: FILE.reg is required$ | config
config with one file too many | 2 | not expected: extra | config $reg extra
unknown subcommand | 2 | ^talsim: unknown subcommand 'frobnicate'$ | frobnicate
help of a subcommand | 0 | ^Usage: talsim send \[OPTIONS\] FILE.reg$ | send --help
version | 0 | ^talsim [0-9]+\.[0-9]+\.[0-9]+$ | --version
version after a subcommand | 0 | ^talsim [0-9]+\.[0-9]+\.[0-9]+$ | demo --version
an option's value after = | 0 | 4 frames on the air, written to eq.pcap | send $reg --count=4 --pcap=eq.pcap
--help as an option's value is a file name | 0 | written to --help | send $reg --count 1 --pcap --help
-- ends the options | 2 | ^-x.reg: No such file or directory$ | config -- -x.reg
send without IoBaseAddress | 1 | NDIS_STATUS_FAILURE | send noio.reg --pcap b.pcap
count out of range | 2 | ^talsim send: --count: Value 0 not in range 1 to 999999$ | send $reg --count 0
count that is no number | 2 | --count: Value x not in range 1 to 999999 | send $reg --count=x
an option without its value | 2 | --pcap: 1 required PATH missing | send $reg --pcap
capture in a missing folder | 2 | ^talsim send: none/a.pcap: No such file or directory$ | send $reg --pcap none/a.pcap
capture on a full disk | 1 | ^talsim send: /dev/full: No space left on device$ | send $reg --pcap /dev/full
world: join and ping | 0 | reply from 192.0.2.1: icmp_seq=2 | world $reg --pcap w.pcap --pings 2
world: link changes over a run | 0 | media connect, link status 1 \(connected\) | world $reg --pcap w.pcap --pings 0 --run 100
world: a malformed world file | 2 | ^bad.toml:4: channel must be an integer from 1 to 14$ | world $reg --world bad.toml
world: a world file that is a directory | 2 | ^$work: Is a directory$ | world $reg --world $work
world: no network of the adapter's name | 1 | no access point joined | world $reg --world harbour.toml --pcap w.pcap
world: a bad ping count | 2 | --pings: Value x not in range 0 to 1000 | world $reg --pings x
demo: the summary alone | 0 | ^talsim demo: passed: joined 00:0b:0e:aa:00:01, 3 networks surveyed, 4/4 echo replies | demo -q --air d.pcap --eth e.pcap
demo: a full disk for a capture | 1 | failed: /dev/full: No space left on device | demo -q --air d.pcap --eth /dev/full
demo: in a world without its network | 1 | ^talsim demo: FAILED: no link | demo $reg -q --world harbour.toml --air d.pcap --eth e.pcap
shell: a script | 0 | ^"TalNet"$ | shell $reg < script.txt
shell: stops at the first bad line with 2 | 2 | <stdin>:2: the shell stops at this line | shell $reg < bad-script.txt
shell: stops at a failed request with 1 | 1 | NDIS_STATUS_INVALID_OID \(0xC0010017\) | shell $reg < failing-script.txt
shell: a line that never ends | 2 | ^error: a line longer than 64 KiB$ | shell $reg < /dev/zero
shell: a directory for its input | 2 | ^talsim shell: standard input: Is a directory$ | shell $reg < $work
a capture named - is a file | 0 | written to -; | send $reg --count 1 --pcap -
demo: one file for both captures | 2 | name the same file: same.pcap$ | demo -q --air same.pcap --eth same.pcap
a seed that is no number | 2 | --seed: Value -1 not in range 0 to 9223372036854775807 | demo -q --seed -1
world: two access points of one bssid | 2 | ^dup.toml:6: bssid is that of another access point$ | world $reg --world dup.toml
world: a loss that is no number | 2 | ^nan.toml:1: loss must be a fraction from 0 to 1$ | world $reg --world nan.toml
shell: results to a full disk | 1 | ^talsim: standard output: No space left on device$ | shell $reg > /dev/full < script.txt
results to standard output, written out | 1 | ^talsim: standard output: No space left on device$ | config $reg > /dev/full
EOF
}

printf 'REGEDIT4\n[HKEY_LOCAL_MACHINE\\X\\Parameters]\n"Channel"=dword:3\n' >noio.reg
printf 'REGEDIT4\n[HKEY_LOCAL_MACHINE\\X\\Parameters]\n"Channel"=dword:3\n"ESSID"="open\n' >bad.reg
head -c 1100000 /dev/zero | tr '\0' ';' >big.reg
printf '\x7fELF\x02\x01\x01\x00\x00\n' >binary.reg
printf '\x1b[2J\x1b]0;owned\x07 and the rest of a very long line\n' >escape.reg
printf 'x\xc2\x9b1mx \xff\n' >c1.reg
printf 'REGEDIT4\n[HKEY_LOCAL_MACHINE\\X\\Parameters]\n' >full.reg
head -c $((1048576 - $(stat -c %s full.reg))) /dev/zero | tr '\0' ';' >>full.reg
printf '[[ap]]\nbssid = "00:0b:0e:aa:00:02"\nssid = "Harbour"\nchannel = 16\n' >bad.toml
printf '[[ap]]\nbssid = "00:0b:0e:aa:00:02"\nssid = "Harbour"\nchannel = 1\n' >harbour.toml
printf '[[ap]]\nbssid = "00:0b:0e:aa:00:02"\nssid = "Harbour"\nchannel = 1\n[[ap]]\nbssid = "00:0b:0e:aa:00:02"\nssid = "X"\nchannel = 6\n' >dup.toml
printf 'loss = nan\n' >nan.toml
printf 'query OID_PRIV_CHANNEL\nquery current_essid\n' >script.txt
printf 'query channel\nfrobnicate\nquery channel\n' >bad-script.txt
printf 'query channel\nquery 0xFFFFFFFA\nquery channel\n' >failing-script.txt

while IFS='|' read -r name status pattern command; do
    name=${name% } status=${status// /} pattern=${pattern# } pattern=${pattern% } command=${command# }
    redirect_in=/dev/null redirect_out=
    [[ $command == *" < "* ]] && redirect_in=${command##* < } command=${command% < *}
    [[ $command == *" > "* ]] && redirect_out=${command##* > } command=${command% > *}
    read -ra words <<<"$command"
    if [ -n "$redirect_out" ]; then
        out=$("$talsim" "${words[@]}" <"$redirect_in" 2>&1 >"$redirect_out")
    else
        out=$("$talsim" "${words[@]}" <"$redirect_in" 2>&1)
    fi
    rc=$?
    if [ "$rc" -ne "$status" ] || ! grep -qE -- "$pattern" <<<"$out"; then
        echo "FAIL: $name: exit $rc (want $status), output:"
        head -8 <<<"$out"
        failures=$((failures + 1))
    elif LC_ALL=C grep -q $'[\x01-\x08\x0b-\x1f\x7f]' <<<"$out"; then
        echo "FAIL: $name: a control byte reached the terminal"
        failures=$((failures + 1))
    fi
done < <(cases)

# The capture is a classic pcap with radiotap (link type 127), the path
# named once in a message.
magic=$(od -An -tx1 -N4 eq.pcap | tr -d ' \n')
linktype=$(od -An -tu4 -j20 -N4 eq.pcap | tr -d ' \n')
if [ "$magic" != "d4c3b2a1" ] || [ "$linktype" != "127" ] || [ ! -s ./- ]; then
    echo "FAIL: capture header: magic $magic link type $linktype"
    failures=$((failures + 1))
fi

[ "$failures" -eq 0 ] && echo "talsim command line: all cases pass"
exit $((failures > 0))
