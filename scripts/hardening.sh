# Sourced by package.sh and test.sh: the flags Debian builds its own packages with,
# every hardening feature on. CMake reads the environment's flags only on a build
# folder's first configure, so they are also given as cache arguments
# ("${hardening_args[@]}"): a folder configured earlier without them (by build.sh
# or demo.sh) is reconfigured with them.
# CMake has no preprocessor flags of its own, so they join the others. -fno-ident
# leaves out the compiler's .comment section, which the plain strip CPack runs would
# keep.
eval "$(DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --export=sh)"
export CFLAGS="$CPPFLAGS $CFLAGS -fno-ident" CXXFLAGS="$CPPFLAGS $CXXFLAGS -fno-ident"
hardening_args=(
    "-DCMAKE_C_FLAGS=$CFLAGS" "-DCMAKE_CXX_FLAGS=$CXXFLAGS"
    "-DCMAKE_EXE_LINKER_FLAGS=$LDFLAGS" "-DCMAKE_SHARED_LINKER_FLAGS=$LDFLAGS"
    "-DCMAKE_MODULE_LINKER_FLAGS=$LDFLAGS"
)
