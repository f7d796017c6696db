# Sourced by package.sh and test.sh: the flags Debian builds its own packages with,
# every hardening feature on; CMake reads them on a build folder's first configure.
# CMake has no preprocessor flags of its own, so they join the others. -fno-ident
# leaves out the compiler's .comment section, which the plain strip CPack runs would
# keep.
eval "$(DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --export=sh)"
export CFLAGS="$CPPFLAGS $CFLAGS -fno-ident" CXXFLAGS="$CPPFLAGS $CXXFLAGS -fno-ident"
