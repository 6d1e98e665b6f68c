# Sourced by the shell tests: `expect NAME ACTUAL EXPECTED` prints an ok or
# FAIL line and sets `failed` on a mismatch.
failed=0
expect() {
  if [[ $2 == "$3" ]]; then
    echo "ok: $1"
  else
    echo "FAIL: $1: got '$2', expected '$3'"
    failed=1
  fi
}
