# Sourced by the tools: finds the CPython interpreters this project supports
# (3.12 and later).
#   python_for 3.13      a path to a working CPython 3.13, or nothing (status 1)
#   supported_pythons    every supported version present, oldest first
#   newest_python        the newest supported version present (status 1 if none)
#   make_venv 3.13 DIR EXTRAS   a venv of that version with this checkout installed

QUORL_MIN_MINOR=12
# Far enough ahead that a new release is found without editing this file.
QUORL_MAX_MINOR=${QUORL_MAX_MINOR:-30}

python_for() {
  local v=$1 dir cand cands
  cands=("$(command -v "python$v" 2>/dev/null)"
         "${PYENV_ROOT:-$HOME/.pyenv}"/versions/"$v".*/bin/"python$v"
         "${UV_PYTHON_INSTALL_DIR:-$HOME/.local/share/uv/python}"/cpython-"$v".*/bin/"python$v")
  for dir in ${QUORL_SYSTEM_BINS:-/usr/local/bin /usr/bin}; do cands+=("$dir/python$v"); done
  # A pyenv shim on PATH answers even when that version is not selected, so
  # every candidate is run once to see that it works and is what it says.
  for cand in "${cands[@]}"; do
    if [ -n "$cand" ] && [ -x "$cand" ] && "$cand" -c "
import sys
ok = sys.implementation.name == 'cpython' and '%d.%d' % sys.version_info[:2] == '$v'
sys.exit(0 if ok else 1)" >/dev/null 2>&1; then
      echo "$cand"
      return 0
    fi
  done
  return 1
}

supported_pythons() {
  local minor
  for ((minor = QUORL_MIN_MINOR; minor <= QUORL_MAX_MINOR; minor++)); do
    python_for "3.$minor" >/dev/null && echo "3.$minor"
  done
  return 0
}

newest_python() {
  local newest
  newest=$(supported_pythons | tail -n 1)
  if [ -z "$newest" ]; then
    echo "no CPython 3.$QUORL_MIN_MINOR or later found; README.md, Installing in detail, says how to get one" >&2
    return 1
  fi
  echo "$newest"
}

make_venv() {
  local v=$1 dir=$2 extras=$3 py
  py=$(python_for "$v") || { echo "python$v not found" >&2; return 1; }
  [ -x "$dir/bin/python" ] || "$py" -m venv "$dir"
  "$dir/bin/python" -m pip install -q --upgrade pip
  "$dir/bin/python" -m pip install -q "$ROOT${extras:+[$extras]}"
}
