# Sourced by the tools: installs the Debian packages the build and the tests
# need when they are missing (as root, or through sudo when it is there).
ensure_system_deps() {
  local need=() sudo=
  dpkg -s libgtest-dev >/dev/null 2>&1 || need+=(libgtest-dev)
  ninja --version >/dev/null 2>&1 || need+=(ninja-build)
  g++ --version >/dev/null 2>&1 || need+=(g++)
  cmake --version >/dev/null 2>&1 || need+=(cmake)
  for pkg in "$@"; do dpkg -s "$pkg" >/dev/null 2>&1 || need+=("$pkg"); done
  [ ${#need[@]} -eq 0 ] && return 0
  [ "$(id -u)" -ne 0 ] && sudo=sudo
  echo "== installing ${need[*]}"
  $sudo env DEBIAN_FRONTEND=noninteractive apt-get update -qq
  $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${need[@]}" >/dev/null
}
