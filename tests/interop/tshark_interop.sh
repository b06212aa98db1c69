#!/usr/bin/env bash
# Interop: the air captures of a plain and a host-WEP exchange, as tshark
# decodes them with the example's key. Frame types, addresses, EtherTypes
# and every WEP ICV must read as the driver and the card meant them, and the
# key-id byte must name the key the host sealed with.
# usage: tshark_interop.sh TALSIM EXAMPLES_DIR
source "$(dirname "$0")/interop_lib.sh"

# The plain exchange: the example adapter with WEP off.
sed 's/^"WepReq"=dword:00000003/"WepReq"=dword:00000000/' "$examples/adapter.reg" >"$work/plain.reg"
grep -q '^"WepReq"=dword:00000000' "$work/plain.reg" || fail "could not turn WEP off in the example"

"$talsim" send "$work/plain.reg" --pcap "$work/plain.pcap" --count 8 >/dev/null
"$talsim" send "$examples/adapter.reg" --pcap "$work/wep.pcap" --count 8 >/dev/null

decode() { # FILE -> one line per frame
    tshark -r "$1" -o wlan.enable_decryption:TRUE -o 'uat:80211_keys:"wep","0102030405"' \
        -T fields -E separator=' ' -E occurrence=f \
        -e wlan.fc.type_subtype -e wlan.fc.protected -e wlan.fc.ds \
        -e wlan.bssid -e wlan.sa -e wlan.da -e llc.oui -e llc.type -e llc.dsap 2>/dev/null
}

expected() { # PROTECTED -> the eight frames: two rounds of the four examples
    local p=$1 ap=00:0b:0e:aa:00:01 me=02:00:54:41:4c:01 peer=00:0b:0e:0a:00:02
    for _ in 1 2; do
        echo "0x0020 $p 0x01 $ap $me $peer 0 0x0800 0xaa"
        echo "0x0020 $p 0x01 $ap $me ff:ff:ff:ff:ff:ff 0 0x0806 0xaa"
        echo "0x0020 $p 0x01 $ap $me $peer 248 0x8137 0xaa"
        echo "0x0020 $p 0x01 $ap $me 01:80:c2:00:00:00   0x42"
    done
}

diff <(expected 0) <(decode "$work/plain.pcap") || fail "plain capture decodes differently"
diff <(expected 1) <(decode "$work/wep.pcap") || fail "host-WEP capture decodes differently"

verbose=$(tshark -r "$work/wep.pcap" -o wlan.enable_decryption:TRUE \
    -o 'uat:80211_keys:"wep","0102030405"' -V 2>/dev/null)
correct=$(grep -c 'WEP ICV: 0x[0-9a-f]* (correct)' <<<"$verbose" || true)
[ "$correct" -eq 8 ] || fail "$correct of 8 WEP ICVs read correct"
if grep -qi 'icv.*incorrect' <<<"$verbose"; then fail "an incorrect WEP ICV"; fi
protocols=$(tshark -r "$work/wep.pcap" -o wlan.enable_decryption:TRUE \
    -o 'uat:80211_keys:"wep","0102030405"' -T fields -e _ws.col.Protocol 2>/dev/null | sort -u | tr '\n' ' ')
[ "$protocols" = "ARP ICMP IPX SAP STP " ] || fail "decrypted protocols: $protocols"

# Without "DefaultKeyId" the host seals with key 0, and every header says so.
grep -v '^"DefaultKeyId"' "$examples/adapter.reg" >"$work/noid.reg"
"$talsim" send "$work/noid.reg" --pcap "$work/noid.pcap" --count 4 >/dev/null
noid=$(tshark -r "$work/noid.pcap" -o wlan.enable_decryption:TRUE \
    -o 'uat:80211_keys:"wep","0102030405"' -T fields -e wlan.wep.key -e _ws.col.Protocol 2>/dev/null |
    tr '\t\n' ' ;')
[ "$noid" = "0 ICMP;0 ARP;0 IPX SAP;0 STP;" ] || fail "without a key id the frames read: $noid"

plain_wep=$(tshark -r "$work/plain.pcap" -Y wlan.fc.protected==1 2>/dev/null | wc -l)
[ "$plain_wep" -eq 0 ] || fail "protected frames in the plain capture"
echo "tshark decodes both captures: 8 plain frames, 8 host-WEP frames with correct ICVs"
