# Included after GoogleTest in a cross-build whose tests run under wine.
# Test executables are listed when the tests run, not while building, and a
# wine start may take longer than the usual listing time-out.
function(gtest_discover_tests)
    _gtest_discover_tests(${ARGV} DISCOVERY_TIMEOUT 120 DISCOVERY_MODE PRE_TEST)
endfunction()
