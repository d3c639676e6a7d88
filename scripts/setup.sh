# Sourced by the project's commands: brings a fresh machine to a state where
# the project builds and its tests run. Idempotent and quiet when nothing is
# missing.

QUORL_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
QUORL_VENV="${QUORL_VENV:-$QUORL_ROOT/.venv}"
# liblsl's configuration for every process the scripts start: LSL discovery on
# 127.0.0.1 only (resolve scope machine, IPv6 off), never out to the network.
if [ -f "$QUORL_ROOT/../shared/lsl_api.cfg" ]; then
  LSLAPICFG="$(cd "$QUORL_ROOT/../shared" && pwd)/lsl_api.cfg"
  export LSLAPICFG
fi
# xvfb (with xauth, which xvfb-run needs) gives the test of `quorl-sdk view` a display.
QUORL_SYSTEM_PACKAGES=(g++ libboost1.81-dev libgtest-dev python3-venv python3-dev xvfb xauth)
# The fuzz targets need clang (libFuzzer); libstdc++ 12 offers std::expected
# only to a compiler announcing C++20 concepts in full, which clang does from 19.
QUORL_FUZZ_PACKAGES=(clang-19 libclang-rt-19-dev)
QUORL_FUZZ_CXX=clang++-19

# Installs the Debian packages the build needs, when any is missing.
quorl_system_packages() {
  local missing=()
  for pkg in "${QUORL_SYSTEM_PACKAGES[@]}" "$@"; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" ||
      missing+=("$pkg")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  local sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  echo "installing system packages: ${missing[*]}"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
}

# Creates the virtual environment and installs the Python tools into it.
quorl_venv() {
  if [ ! -x "$QUORL_VENV/bin/python" ]; then
    python3 -m venv "$QUORL_VENV"
    "$QUORL_VENV/bin/python" -m pip install -q --upgrade pip
  fi
  # shellcheck disable=SC1091
  source "$QUORL_VENV/bin/activate"
  python -m pip install -q "$@"
}

# Builds the wheel and installs it (with the given extras) into the venv.
quorl_install() {
  local extras="${1:-}"
  python -m pip install -q "$QUORL_ROOT${extras:+[$extras]}"
}

# Builds the wheel into build/wheelhouse (replacing any older one) and prints
# its path.
quorl_build_wheel() {
  local wheelhouse="$QUORL_ROOT/build/wheelhouse"
  rm -rf "$wheelhouse"
  python -m pip wheel -q --no-deps -w "$wheelhouse" "$QUORL_ROOT" >&2
  ls "$wheelhouse"/*.whl
}
