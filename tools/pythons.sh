# Sourced by the tools: finds the CPython interpreters this project supports.
# python_for 3.12 prints a path to a working python3.12, or nothing.
python_for() {
  local v=$1 cand
  for cand in "$(command -v "python$v" 2>/dev/null)" \
              "${PYENV_ROOT:-$HOME/.pyenv}"/versions/"$v"*/bin/"python$v" \
              /usr/local/bin/"python$v" /usr/bin/"python$v"; do
    if [ -n "$cand" ] && [ -x "$cand" ] && "$cand" -c 'import sys' >/dev/null 2>&1; then
      echo "$cand"
      return 0
    fi
  done
  return 1
}

# make_venv 3.12 DIR: a virtual environment for that Python with the module
# and the given extras installed from this checkout.
make_venv() {
  local v=$1 dir=$2 extras=$3 py
  py=$(python_for "$v") || { echo "python$v not found" >&2; return 1; }
  [ -x "$dir/bin/python" ] || "$py" -m venv "$dir"
  "$dir/bin/python" -m pip install -q --upgrade pip
  "$dir/bin/python" -m pip install -q "$ROOT[$extras]"
}
