#!/usr/bin/env bash
# Interop: the air capture of `talsim world` in the default world, as tshark
# decodes it with the example's key: beacons of the three networks, the
# shared-key authentication (the third frame sealed), the association, the
# ARP exchange and the pings with their replies, every protected frame with a
# correct WEP ICV and every directed frame acknowledged.
# usage: world_interop.sh TALSIM EXAMPLES_DIR
source "$(dirname "$0")/interop_lib.sh"

"$talsim" world "$examples/adapter.reg" --pcap "$work/world.pcap" --pings 4 >"$work/out.txt" ||
    fail "talsim world: $(cat "$work/out.txt")"

tshark_() { tshark -r "$work/world.pcap" -o wlan.enable_decryption:TRUE -o 'uat:80211_keys:"wep","0102030405"' "$@" 2>/dev/null; }

# Some tshark versions print an SSID field as hexadecimal bytes.
unhex() { while read -r s; do
    if [[ $s =~ ^([0-9a-f][0-9a-f])+$ ]]; then printf "$(sed 's/../\\x&/g' <<<"$s")\n"; else echo "$s"; fi
done; }
ssids=$(tshark_ -Y 'wlan.fc.type_subtype == 0x0008' -T fields -e wlan.ssid | unhex | sort -u | tr '\n' ' ')
[ "$ssids" = "Harbour Lighthouse TalNet " ] || fail "beacons of: $ssids"

auth=$(tshark_ -Y 'wlan.fc.type_subtype == 0x000b' -T fields -e wlan.fixed.auth.alg -e wlan.fixed.auth_seq \
    -e wlan.fixed.status_code -e wlan.fc.protected | tr '\t\n' ' ;')
[ "$auth" = "1 0x0001 0x0000 0;1 0x0002 0x0000 0;1 0x0003 0x0000 1;1 0x0004 0x0000 0;" ] ||
    fail "shared-key authentication reads: $auth"
[ "$(tshark_ -Y 'wlan.fc.type_subtype == 0x0001 && wlan.fixed.status_code == 0' | wc -l)" -eq 1 ] ||
    fail "no successful association response"

[ "$(tshark_ -Y 'arp.opcode == 2 && arp.src.proto_ipv4 == 192.0.2.1' | wc -l)" -eq 1 ] || fail "no ARP reply"
requests=$(tshark_ -Y 'icmp.type == 8' | wc -l)
replies=$(tshark_ -Y 'icmp.type == 0 && ip.src == 192.0.2.1' | wc -l)
[ "$requests" -eq 4 ] && [ "$replies" -eq 4 ] || fail "$requests echo requests, $replies replies"

protected=$(tshark_ -Y 'wlan.fc.protected == 1' | wc -l)
verbose=$(tshark_ -V)
correct=$(grep -c 'WEP ICV: 0x[0-9a-f]* (correct)' <<<"$verbose" || true)
[ "$protected" -gt 0 ] && [ "$correct" -eq "$protected" ] || fail "$correct of $protected WEP ICVs read correct"
if grep -qi 'icv.*incorrect' <<<"$verbose"; then fail "an incorrect WEP ICV"; fi

# On each channel, every directed data and management frame is followed by
# an ACK to its sender.
unacked=$(tshark_ -T fields -e radiotap.channel.freq -e wlan.fc.type_subtype -e wlan.ra -e wlan.ta | awk -F'\t' '
    waiting[$1] != "" { if ($2 != "0x001d" || $3 != waiting[$1]) missed++ }
    { waiting[$1] = "" }
    $2 != "0x001d" && $3 != "ff:ff:ff:ff:ff:ff" && $4 != "" { waiting[$1] = $4 }
    END { print missed + 0 }')
[ "$unacked" -eq 0 ] || fail "$unacked directed frames without an ACK right after them"
echo "tshark decodes the world's capture: 3 networks, shared-key join, ARP, 4 pings, $protected WEP ICVs correct"
