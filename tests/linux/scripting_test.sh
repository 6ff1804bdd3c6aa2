#!/usr/bin/env bash
# fwupdate-linux as scripts and many-drive machines use it, against the
# simulated drives: --json documents read by a JSON parser, --dry-run sending
# nothing that changes a drive, the history (an update cut off shows as
# started and never finished, and the next run warns), the power rule on a
# made-up laptop, a drive that keeps its old firmware, and --all-drives with
# one drive failing.
source "$(dirname "$0")/lib.sh"

firmware fw.bin K53R-TX 209B
updater MyUpdater fw.bin
TX="model K53R-TX"

# json NAME EXPRESSION: the Python expression over the document `d` (NAME.out
# parsed as exactly one JSON document) is true.
json() {
  check
  python3 - "$1.out" "$2" <<'EOF' || fail "$1: not true of its document: $2 ($(head -c 400 "$1.out"))"
import json, sys
with open(sys.argv[1]) as f:
    text = f.read()
d = json.loads(text)
assert text.count("\n") == 1 and text.endswith("\n"), "one line"
sys.exit(0 if eval(sys.argv[2]) else 1)
EOF
}
# The commands that change a drive: Write Buffer and Update Firmware.
writes() { grep -c 'cdb=33 0C F1 ' wire.log; }

# --list --json: one document, every drive with what fits it.
simconf "drive 0 0 0" "$TX" "version 209A" "drive 0 1 0" "model OTHER" "version 0001"
run list ./MyUpdater --list --json
expect_rc list 0
json list 'd["format"] == 1 and [x["path"] for x in d["drives"]] == ["/dev/sg1", "/dev/sg2"]'
json list 'd["drives"][0]["images"] == ["K53R-TX   209B"] and d["drives"][1]["images"] == []'
json list 'd["drives"][0]["firmware"] == "209A" and d["drives"][0]["block_device"] == "/dev/sr0"'

# --dry-run: every check up to the question, what would be sent, nothing
# that changes the drive; with --json as a document.
simconf "drive 0 0 0" "$TX" "version 209A"
run dry ./MyUpdater --dry-run
expect_rc dry 0
expect_text dry out "Would send image K53R-TX   209B (524288 bytes) in 512 Write Buffer commands"
expect_text dry out "Would ask: Are you sure to update firmware from Ver 209A to Ver 209B"
check; [ "$(writes)" = 0 ] || fail "dry: $(writes) buffer or flash commands were sent"
check; [ -z "$(ls out)" ] || fail "dry: the drive's flash was written"
run dryjson ./MyUpdater --dry-run --json --flash-mode 4k
expect_rc dryjson 0
json dryjson 'd["result"]["dry_run"] and d["result"]["ending"] == "dry-run"'
json dryjson 'd["result"]["would_send"] == {"image_size": 524288, "chunks": 512, "chunk_size": 1024, "read_back": True, "flash_mode": "4k"}'
check; [ "$(writes)" = 0 ] || fail "dryjson: a buffer or flash command was sent"

# --json without --yes asks nothing: the question is answered No.
run noprompt ./MyUpdater --json
expect_rc noprompt 11
json noprompt 'd["result"]["ending"] == "declined" and d["result"]["exit_status"] == 11'
expect_no_flash noprompt

# An update under --json: the result document, human text only on stderr,
# and the history records it from start to finish.
run update ./MyUpdater --yes --json
expect_rc update 0
expect_flashed update fw.bin
json update 'd["result"]["ending"] == "updated" and d["result"]["exit_status"] == 0'
json update 'd["result"]["firmware_before"] == "209A" and d["result"]["firmware_after"] == "209B"'
json update 'd["result"]["drive"]["hctl"] == "1:0:0:0" and d["result"]["image"] == "K53R-TX   209B"'
expect_text update err "Write data to bufer"
run history ./MyUpdater --history --json
expect_rc history 0
json history 'len(d["history"]) == 1 and d["history"][0]["finished"] and d["history"][0]["status"] == 0'
json history 'd["history"][0]["firmware_before"] == "209A" and d["history"][0]["firmware_after"] == "209B"'

# An update cut off (the program killed while the drive programs its flash):
# started and never finished; the next run for that drive warns.
(
  FWSIM_CONFIG="$work/sim.conf" FWSIM_OUT="$work/out" FWSIM_LOG="$work/wire.log" FWSIM_STATE="$work/state" \
    FWSIM_POWER="$work/no-power" LD_PRELOAD="$preload" exec ./MyUpdater --yes >cut.out 2>&1 </dev/null
) &
cut=$!
for _ in $(seq 1 300); do
  grep -q 'cdb=33 0C F1 00 00 00 80 ' wire.log 2>/dev/null && break
  sleep 0.1
done
kill -9 "$cut" 2>/dev/null
wait "$cut" 2>/dev/null
run afterloss ./MyUpdater --history
expect_text afterloss out "started, never finished"
run warned ./MyUpdater --dry-run
expect_rc warned 0
expect_text warned err "never finished"
simconf "drive 0 1 0" "$TX" "version 209A"
run otherdrive ./MyUpdater --dry-run
expect_no_text otherdrive err "never finished"
simconf "drive 0 0 0" "$TX" "version 209A"

# A history that is not safe is refused by --history, and an update goes on
# without it, saying so.
mv state state.kept && ln -s /etc state
run unsafe ./MyUpdater --history
expect_rc unsafe 18
run unsafeupdate ./MyUpdater --dry-run
expect_rc unsafeupdate 0
rm state && mv state.kept state

# The power rule on a made-up laptop: on battery with 20 % refused before
# anything is sent (unless --ignore-power), 80 % warned, mains power fine.
laptop() {  # DIR CAPACITY STATUS [AC-ONLINE]
  mkdir -p "$1/BAT0"
  printf 'Battery\n' >"$1/BAT0/type"; printf '%s\n' "$2" >"$1/BAT0/capacity"; printf '%s\n' "$3" >"$1/BAT0/status"
  printf 'System\n' >"$1/BAT0/scope"; printf '1\n' >"$1/BAT0/present"
  if [ -n "${4:-}" ]; then mkdir -p "$1/AC"; printf 'Mains\n' >"$1/AC/type"; printf '%s\n' "$4" >"$1/AC/online"; fi
}
laptop low 20 Discharging 0
POWER="$work/low" run lowbattery ./MyUpdater --yes
expect_rc lowbattery 17
expect_text lowbattery err "battery power with 20 % left"
check; [ "$(writes)" = 0 ] || fail "lowbattery: a buffer or flash command was sent"
POWER="$work/low" run lowdry ./MyUpdater --dry-run --json
expect_rc lowdry 17
json lowdry 'd["result"]["ending"] == "power-refused" and d["result"]["exit_status"] == 17'
POWER="$work/low" run ignored ./MyUpdater --dry-run --ignore-power
expect_rc ignored 0
expect_text ignored err "--ignore-power"
laptop plugged 20 Discharging 1
POWER="$work/plugged" run plugged ./MyUpdater --dry-run
expect_rc plugged 0
expect_no_text plugged err "battery"
laptop half 80 Discharging 0
POWER="$work/half" run half ./MyUpdater --dry-run
expect_rc half 0
expect_text half err "80 % left"

# A drive that answers the flash command but keeps its old firmware: its
# own failure, never "updated".
simconf "drive 0 0 0" "$TX" "version 209A" "fault update 1 1 keep"
run keeps ./MyUpdater --yes --json
expect_rc keeps 25
json keeps 'd["result"]["ending"] == "old-firmware" and d["result"]["firmware_after"] == "209A"'
expect_text keeps err "still reports its old firmware Ver 209A"
expect_no_text keeps err "has been updated"

# --all-drives: three drives, the middle one refuses every Write Buffer. The
# other two are updated, each exactly once; the table and the status say
# some were updated; the failing drive's flash is untouched.
simconf "drive 0 0 0" "$TX" "version 209A" \
        "drive 0 1 0" "$TX" "version 209A" "fault write 1 100000 check 4400" \
        "drive 0 2 0" "$TX" "version 209A"
run all ./MyUpdater --all-drives --yes
expect_rc all 40
expect_text all out "updated (0)"
expect_text all out "buffer-write-error (21)"
expect_text all out "2 of 3 drive(s) updated."
check; cmp -s out/flash-0-0-1.bin fw.bin && cmp -s out/flash-0-2-1.bin fw.bin ||
  fail "all: drives 1 and 3 do not hold the new firmware"
check; [ ! -e out/flash-0-1-1.bin ] || fail "all: the failing drive was flashed"
# Each drive's run keeps its own wire log open: the flashes are counted by
# the images the drives saved (one file per flash).
check; [ ! -e out/flash-0-0-2.bin ] && [ ! -e out/flash-0-2-2.bin ] || fail "all: a drive was flashed twice"
run alljson ./MyUpdater --all-drives --yes --json --jobs 2
expect_rc alljson 40
json alljson 'd["updated"] == 2 and d["exit_status"] == 40 and len(d["results"]) == 3'
json alljson '[r["ending"] for r in d["results"]] == ["updated", "buffer-write-error", "updated"]'
# What was checked and shown is what every drive gets: the updater rewritten
# while the question waits changes nothing of what the drives' runs read.
simconf "drive 0 0 0" "$TX" "version 209A" "drive 0 2 0" "$TX" "version 209A"
firmware other.bin K53R-TX 209C 0x80000 9
updater Other other.bin
cp MyUpdater Tower
rm -f answer && mkfifo answer
(
  exec 3> answer
  for _ in $(seq 300); do grep -q 'as listed?' swapped.out 2>/dev/null && break; sleep 0.1; done
  cat Other > Tower
  echo y >&3
) &
STDIN=answer run swapped "$prog" Tower --all-drives
wait
check; cmp -s Tower Other || fail "swapped: the updater was not rewritten during the run"
expect_rc swapped 0
check; cmp -s out/flash-0-0-1.bin fw.bin && cmp -s out/flash-0-2-1.bin fw.bin ||
  fail "swapped: the drives did not get the image that was checked and shown"
simconf "drive 0 1 0" "$TX" "version 209A" "fault write 1 100000 check 4400"
run allfail ./MyUpdater --all-drives --yes
expect_rc allfail 41
run allno ./MyUpdater --all-drives
expect_rc allno 11
expect_no_flash allno
run allnojson ./MyUpdater --all-drives --json
expect_rc allnojson 11
json allnojson 'd["results"] == [] and d["exit_status"] == 11 and d["updated"] == 0'
expect_no_flash allnojson

finish
