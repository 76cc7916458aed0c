# Sourced by fuzz.sh and sanitize.sh: finds (or installs) a clang whose front end compiles
# libstdc++ 12's std::expected (clang 14 cannot) and its sanitizer and libFuzzer runtimes.
# Sets CORVEL_CLANG to the compiler.
corvel_find_clang() {
  local version
  for version in 19 18 17 16; do
    if command -v "clang++-$version" >/dev/null 2>&1 &&
       [ -d "/usr/lib/llvm-$version/lib/clang/$version/lib/linux" ] &&
       ls "/usr/lib/llvm-$version/lib/clang/$version/lib/linux/"libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1; then
      CORVEL_CLANG=$(command -v "clang++-$version")
      return 0
    fi
  done
  return 1
}

if ! corvel_find_clang; then
  sudo=""
  [ "$(id -u)" = 0 ] || sudo=sudo
  echo "installing clang 19 and its runtimes"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq clang-19 libclang-rt-19-dev >/dev/null
  corvel_find_clang || { echo "no usable clang found" >&2; exit 1; }
fi
