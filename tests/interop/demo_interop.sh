#!/usr/bin/env bash
# Interop: the demo's two captures as tshark reads them. Every protected
# frame of the air capture decrypts with the example's key and a correct
# ICV; the Ethernet capture holds the protocol's side: the ARP exchange and
# the four ICMP echo requests, each with its reply.
# usage: demo_interop.sh TALSIM EXAMPLES_DIR
source "$(dirname "$0")/interop_lib.sh"

"$talsim" demo "$examples/adapter.reg" --air "$work/air.pcap" --eth "$work/eth.pcap" >"$work/out.txt" ||
    fail "talsim demo: $(tail -5 "$work/out.txt")"
grep -q "wep 0102030405" "$work/out.txt" || fail "the demo names another key: $(grep -i wep "$work/out.txt")"

air() { tshark -r "$work/air.pcap" -o wlan.enable_decryption:TRUE -o 'uat:80211_keys:"wep","0102030405"' "$@" 2>/dev/null; }
protected=$(air -Y 'wlan.fc.protected == 1' | wc -l)
correct=$(air -V | grep -c 'WEP ICV: 0x[0-9a-f]* (correct)' || true)
[ "$protected" -gt 10 ] && [ "$correct" -eq "$protected" ] || fail "$correct of $protected WEP ICVs read correct"
opened=$(air -Y 'wlan.fc.protected == 1 && (llc || wlan.fixed.auth_seq)' | wc -l)
[ "$opened" -eq "$protected" ] || fail "$opened of $protected protected frames opened"

eth() { tshark -r "$work/eth.pcap" "$@" 2>/dev/null; }
[ "$(od -An -tu4 -j20 -N4 "$work/eth.pcap" | tr -d ' \n')" = 1 ] || fail "eth.pcap is not of link type Ethernet"
echoes=$(eth -Y icmp -T fields -e icmp.type -e icmp.seq -e ip.src -e ip.dst | tr '\t\n' ' ;')
want="8 1 192.0.2.10 192.0.2.1;0 1 192.0.2.1 192.0.2.10;8 2 192.0.2.10 192.0.2.1;0 2 192.0.2.1 192.0.2.10;"
want+="8 3 192.0.2.10 192.0.2.1;0 3 192.0.2.1 192.0.2.10;8 4 192.0.2.10 192.0.2.1;0 4 192.0.2.1 192.0.2.10;"
[ "$echoes" = "$want" ] || fail "echo requests and replies read: $echoes"
[ "$(eth -Y 'arp.opcode == 2 && arp.src.proto_ipv4 == 192.0.2.1' | wc -l)" -eq 1 ] || fail "no ARP reply in eth.pcap"
[ "$(eth -Y 'eth.src == 02:00:54:41:4c:01 && arp.opcode == 1' | wc -l)" -ge 1 ] || fail "no ARP request in eth.pcap"
echo "tshark reads the demo's captures: $protected protected frames open with key 0, 4 echoes answered"
