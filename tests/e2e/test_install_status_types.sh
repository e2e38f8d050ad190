#!/usr/bin/env bash
# InstallStatus (HKLM\SOFTWARE\Morvanta) written by the installer's first run
# with other registry types than the package's REG_SZ. The bootstrapper
# zero-fills its status text, reads the value into it and compares the text
# it holds with "reinstall", whatever the read answered: so the nine letters
# stored as REG_BINARY or REG_NONE, with or without a zero byte after them,
# ask for the rerun just as REG_EXPAND_SZ and REG_MULTI_SZ do, and the value
# is deleted (with the settings key, which holds nothing else) before the
# rerun. Other letters ask for nothing and stay as they were stored.
#
# The recording stand-in for msiexec writes the value on its first start only
# (QMB_RECORD_STATUS_TYPE, QMB_RECORD_STATUS_HEX).
#
# Usage: test_install_status_types.sh EXE
source "$(dirname "$0")/lib.sh"
source "$(dirname "$0")/lib_variants.sh"
qmb_variants_init "$1"

hex() { printf '%s' "$1" | od -An -v -tx1 | tr -d ' \n'; }
reinstall="$(hex reinstall)"

# name | registry type | data in hexadecimal | installer runs | InstallStatus afterwards, as stored
rows=(
  "REG_BINARY, the nine letters|3|$reinstall|2|"
  "REG_BINARY, the letters and a zero byte|3|${reinstall}00|2|"
  "REG_NONE, the nine letters|0|$reinstall|2|"
  "REG_EXPAND_SZ, terminated|2|${reinstall}00|2|"
  "REG_MULTI_SZ, two zero bytes|7|${reinstall}0000|2|"
  "REG_BINARY, another capital|3|$(hex Reinstall)|1|type=3 wide_bytes=9 ansi_bytes=9 text=Reinstall"
  "REG_BINARY, a letter more|3|$(hex reinstalls)|1|type=3 wide_bytes=10 ansi_bytes=10 text=reinstalls"
  "REG_DWORD, four of the letters|4|$(hex rein)|1|type=4 wide_bytes=4 ansi_bytes=4 text=rein"
)
for row in "${rows[@]}"; do
  IFS='|' read -r name type data runs stored <<<"$row"
  r="[$name]"
  qmb_log "--- $r"
  qmb_reset_machine
  qmb_use_recorder
  QMB_RECORD_STATUS_TYPE=$type QMB_RECORD_STATUS_HEX=$data QMB_RECORD_EXIT=3010 \
    qmb_run_or_fail "$r" "$QMB_EXE" "" || continue

  expect_eq "$r the installer's first run wrote the value" "status=written $type $((${#data} / 2))" \
    "$(grep -a '^status=' "$QMB_RECORD" | tr -d '\r' | head -1)"
  expect_eq "$r installer runs" "$runs" "$(qmb_recorded_runs)"
  first="$(qmb_recorded_command_line)"
  if ((runs == 2)); then
    expect_eq "$r the rerun has the identical command line" "$first" \
      "$(grep -a '^"' "$QMB_RECORD" | tr -d '\r' | sed -n 2p)"
    expect_no_reg "$r InstallStatus is deleted" "$QMB_SETTINGS_KEY" InstallStatus
    if qmb_reg_key_exists "$QMB_SETTINGS_KEY"; then
      qmb_fail "$r the emptied settings key is deleted too" "seen: $QMB_SETTINGS_KEY still exists"
    else
      qmb_pass "$r the emptied settings key is deleted too"
    fi
  else
    expect_eq "$r InstallStatus stays as it was stored" "$stored" \
      "$(qmb_reg_stored 'SOFTWARE\Morvanta' InstallStatus)"
  fi
  expect_eq "$r full exit code is the installer's" 3010 "$RUN_EXIT"
  expect_absent "$r the staging directory is removed" "$QMB_STAGING_DIR"
done
qmb_finish
