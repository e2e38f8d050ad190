#!/usr/bin/env bash
# The updater phase against an updater already on the machine, and the
# updater folder on a second run.
#
# An older updater of the same product (2.0.6.9: same product code, another
# package) must be removed before the carried 2.0.7.2 is installed: the
# Windows Installer refuses to install a second package of an installed
# product (1638), so without the removal the old version would stay, as the
# control case shows. An installed AUVersion that does not order before
# 2.0.7.2 means no removal. A second run writes au.msi and au.cab again in
# the same folder.
#
# Usage: test_updater.sh EXE
source "$(dirname "$0")/lib.sh"
qmb_init "$1"

old_updater="$QMB_SAMPLE_TEST_INPUTS/au-2.0.6.9/au.msi"
if [[ ! -f "$old_updater" || ! -f "$QMB_SAMPLE_TEST_INPUTS/au-2.0.6.9/au.cab" ]]; then
  qmb_fail "the older updater package and its cabinet are built" "expected: $old_updater and au.cab beside it"
  qmb_finish
fi

# Installs the older updater; status 1 when it is not in place afterwards.
install_old_updater() {
  local rc=0
  qmb_install_package "$old_updater" ALLUSERS=1 || rc=$?
  if ((rc != 0)) || [[ "$(qmb_reg_value "$QMB_UPDATER_KEY" AUVersion || true)" != 2.0.6.9 ]]; then
    qmb_fail "$1: the older updater could be installed" "msiexec status $rc; $(tail -3 "$QMB_WORK/msiexec.out")"
    return 1
  fi
}

# ---- control: the carried updater alone does not replace the old one.
row="control, without the bootstrapper"
qmb_reset_machine
if install_old_updater "$row"; then
  rc=0
  qmb_install_package "$QMB_PAYLOAD_DIR/au.msi" ALLUSERS=1 || rc=$?
  expect_eq "$row: installing 2.0.7.2 over 2.0.6.9 is refused (1638, seen modulo 256)" $((1638 % 256)) "$rc"
  expect_reg "$row: the old AUVersion stays" "$QMB_UPDATER_KEY" AUVersion 2.0.6.9
fi

# ---- an older updater is removed, then the carried one is installed.
row="[/s] over updater 2.0.6.9"
qmb_reset_machine
if install_old_updater "$row" && qmb_run_or_fail "$row" "$QMB_EXE" "/s"; then
  expect_eq "$row: full exit code" 0 "$RUN_EXIT"
  expect_updater_installed "$row" 1
fi

# ---- an AUVersion that is not older: nothing is removed, so the carried
# package cannot replace the installed one and the installed version stays.
row="[/s] over updater 2.0.6.9 reporting AUVersion 2.1.0.0"
qmb_reset_machine
if install_old_updater "$row"; then
  qmb_reg_add "$QMB_UPDATER_KEY" /v AUVersion /t REG_SZ /d 2.1.0.0
  if qmb_run_or_fail "$row" "$QMB_EXE" "/s"; then
    expect_eq "$row: full exit code" 0 "$RUN_EXIT"
    expect_reg "$row: the installed updater was not removed" "$QMB_UNINSTALL_KEY\\$QMB_UPDATER_PRODUCT_CODE" \
      DisplayVersion 2.0.6.9
    expect_reg "$row: AUVersion is unchanged" "$QMB_UPDATER_KEY" AUVersion 2.1.0.0
    expect_same_file "$row: au.msi is written all the same" "$QMB_PAYLOAD_DIR/au.msi" "$QMB_UPDATER_FOLDER/au.msi"
    expect_reg "$row: the registration tool ran" "$QMB_SAMPLE_KEY" RegistrationArguments "$QMB_REGISTRATION_ARGUMENTS"
  fi
fi

# ---- a second run writes au.msi and au.cab again, in place.
row="second [/s]"
qmb_reset_machine
if qmb_run_or_fail "first [/s]" "$QMB_EXE" "/s"; then
  expect_updater_installed "first [/s]" 1
  for name in au.msi au.cab; do
    printf 'left by an earlier run\n' >"$QMB_UPDATER_FOLDER/$name"
    touch -d '2001-01-01 00:00:00' "$QMB_UPDATER_FOLDER/$name"
  done
  stamp="$(date -d '2001-01-01 00:00:01' +%s)"
  if qmb_run_or_fail "$row" "$QMB_EXE" "/s"; then
    expect_eq "$row: full exit code" 0 "$RUN_EXIT"
    expect_updater_installed "$row" 2
    for name in au.msi au.cab; do
      written="$(stat -c %Y "$QMB_UPDATER_FOLDER/$name" 2>/dev/null || echo 0)"
      if ((written > stamp)); then
        qmb_pass "$row: $name was written again"
      else
        qmb_fail "$row: $name was written again" "seen: modified at $(date -d "@$written" 2>/dev/null)"
      fi
    done

    # The registration tool finds its arguments however its path is given.
    # Unquoted with blanks, the platform tries the blank-separated beginnings
    # of the command line in turn until one names a program (Wine then hands
    # the program its path quoted; Windows leaves the line as it was, which
    # kwinpo.exe reads by comparing it with its own path).
    mkdir -p "$QMB_TEST_DRIVE_DIR"
    cp "$QMB_REGISTRATION_TOOL" "$QMB_TEST_DRIVE_DIR/kwinpo.exe"
    installed_tool="$QMB_COMMON_FILES_WIN\Vesk\Vesk Update\kwinpo.exe"
    # how | command line | exit code | arguments it finds | registered version
    tool_rows=(
      "unquoted path with blanks|$installed_tool -r zlp 1.6.0_39-b04|0|-r zlp 1.6.0_39-b04|1.6.0_39-b04"
      "unquoted path|C:\qmb-e2e\kwinpo.exe  -r zlp 9.9|0|-r zlp 9.9|9.9"
      "quoted path|\"$installed_tool\" -r zlp 1.6.0_39-b04|0|-r zlp 1.6.0_39-b04|1.6.0_39-b04"
      "other arguments|\"$installed_tool\" -x zlp 1.6.0_39-b04|87|-x zlp 1.6.0_39-b04|"
    )
    for tool_row in "${tool_rows[@]}"; do
      IFS='|' read -r how line code arguments version <<<"$tool_row"
      row="the registration tool, $how"
      qmb_reg_delete "$QMB_UPDATER_KEY\Runtimes"
      QMB_LAUNCH_CMDLINE="$line" qmb_wine "$QMB_TOOLS_DIR/qmb-launch.exe" >"$QMB_WORK/kwinpo.out" 2>&1 || true
      expect_eq "$row: exit code" "exit=$code signed=$code" "$(grep -a '^exit=' "$QMB_WORK/kwinpo.out" | tr -d '\r')"
      expect_reg "$row: its arguments" "$QMB_SAMPLE_KEY" RegistrationArguments "$arguments"
      if [[ -n "$version" ]]; then
        expect_reg "$row: the runtime is registered" "$QMB_UPDATER_KEY\Runtimes" zlp "$version"
      else
        expect_no_reg "$row: nothing is registered" "$QMB_UPDATER_KEY\Runtimes" zlp
      fi
    done
  fi
fi
qmb_finish
