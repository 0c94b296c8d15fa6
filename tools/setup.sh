# Sourced by ./run-tests and ./tarvo: installs the build and Wine packages when missing, and
# lets apt download Debian's i386 packages (the 32-bit Wine is unpacked into the build tree by
# tools/wine32/setup, never installed).
tsh_install_dependencies() {
  local need=() sudo=
  [ "$(id -u)" -ne 0 ] && sudo=sudo
  command -v x86_64-w64-mingw32-g++-win32 >/dev/null || need+=(mingw-w64)
  command -v i686-w64-mingw32-g++-win32 >/dev/null || need+=(mingw-w64)
  { command -v wine64 >/dev/null || [ -x /usr/lib/wine/wine64 ]; } || need+=(wine64)
  [ -f /usr/src/googletest/CMakeLists.txt ] || need+=(googletest)
  command -v cmake >/dev/null || need+=(cmake)
  command -v ninja >/dev/null || need+=(ninja-build)
  command -v qemu-i386 >/dev/null || need+=(qemu-user)
  command -v Xvfb >/dev/null || need+=(xvfb)  # the headless display Wine's windows need
  [ -f /usr/i686-w64-mingw32/lib/zlib1.dll ] || need+=(libz-mingw-w64)
  command -v gcc >/dev/null || need+=(gcc)
  local update=
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    $sudo dpkg --add-architecture i386 || return 1
    update=1
  fi
  [ ${#need[@]} -eq 0 ] && [ -z "$update" ] && return 0
  echo "installing: ${need[*]:-(i386 package lists)}" >&2
  # A mirror caught mid-sync fails one list of several ("File has unexpected size"): try again,
  # then go on with the lists that did arrive, and let the install say whether they sufficed.
  local try
  for try in 1 2 3; do
    $sudo apt-get update >&2 && break
    echo "setup: forgiven: apt-get update failed (try $try of 3)" >&2
    [ -n "${TSH_RETRIES:-}" ] && echo "setup: apt-get update failed (try $try of 3)" >>"$TSH_RETRIES"
    [ "$try" -lt 3 ] && sleep 10
  done
  [ ${#need[@]} -eq 0 ] && return 0
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y --no-install-recommends \
    $(printf '%s\n' "${need[@]}" | sort -u) >&2
}
