# Sourced by ./run-tests and ./tarvo: installs the build and Wine packages when missing.
tsh_install_dependencies() {
  local need=()
  command -v x86_64-w64-mingw32-g++-posix >/dev/null || need+=(mingw-w64)
  command -v i686-w64-mingw32-g++-posix >/dev/null || need+=(mingw-w64)
  { command -v wine64 >/dev/null || [ -x /usr/lib/wine/wine64 ]; } || need+=(wine64)
  [ -f /usr/src/googletest/CMakeLists.txt ] || need+=(googletest)
  command -v cmake >/dev/null || need+=(cmake)
  command -v ninja >/dev/null || need+=(ninja-build)
  [ ${#need[@]} -eq 0 ] && return 0
  local sudo=
  [ "$(id -u)" -ne 0 ] && sudo=sudo
  echo "installing: mingw-w64 wine64 googletest cmake ninja-build" >&2
  $sudo apt-get update >&2 &&
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y mingw-w64 wine64 googletest cmake ninja-build >&2
}
