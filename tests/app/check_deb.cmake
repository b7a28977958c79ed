# Builds the Debian package with cpack, unpacks it into a scratch root with dpkg -x, checks its
# contents, declared dependencies, lintian's verdict and every binary's hardening, and runs the unpacked
# tool and password dialog from there. -DBUILD_DIR= -DSCRATCH= -DPARTS_DIR=lib/...
cmake_minimum_required(VERSION 3.25)
file(REMOVE_RECURSE "${SCRATCH}")
file(MAKE_DIRECTORY "${SCRATCH}")

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "failed (${result}): ${ARGN}\n${out}\n${err}")
  endif()
  set(out "${out}" PARENT_SCOPE)
endfunction()

run(cpack -G DEB --config "${BUILD_DIR}/CPackConfig.cmake" -B "${SCRATCH}/out")
file(GLOB debs "${SCRATCH}/out/*.deb")
list(LENGTH debs count)
if(NOT count EQUAL 1)
  message(FATAL_ERROR "expected one package, found: ${debs}")
endif()

# Dependencies: Qt's libraries found by dpkg-shlibdeps, the platform plugins named by hand.
run(dpkg-deb --field "${debs}" Package Depends Recommends)
foreach(want "Package: quorbel" "libqt6widgets6" "libqt6pdfwidgets6" "libplist" "libssl3" "libc6" "qt6-qpa-plugins" "Recommends: .*exfatprogs")
  if(NOT out MATCHES "${want}")
    message(FATAL_ERROR "the package does not declare ${want}:\n${out}")
  endif()
endforeach()

set(root "${SCRATCH}/root")
run(dpkg -x "${debs}" "${root}")
set(binaries usr/bin/quorbel usr/bin/quorbel-imagetool usr/bin/quorbel-askpass usr/${PARTS_DIR}/quorbel-parts.so)
foreach(f ${binaries} usr/share/applications/example.quorbel.SparseBundleUtility.desktop
          usr/share/icons/hicolor/scalable/apps/quorbel.svg usr/share/doc/quorbel/QuorbelHelp.pdf)
  if(NOT EXISTS "${root}/${f}")
    message(FATAL_ERROR "the package lacks ${f}")
  endif()
endforeach()

# Debian's checks: no error, warning or note from lintian (with every tag shown), and each binary built
# with stack protector, PIE, fortified calls, read-only relocations and immediate binding.
run(lintian --fail-on error,warning,info --display-info --tag-display-limit 0 "${debs}")
if(NOT out STREQUAL "")
  message(FATAL_ERROR "lintian has something to say about the package:\n${out}")
endif()
# Control-flow marks need start files built with them, which Debian 12 does not ship. The program and
# its module call memcpy, read and poll only with sizes the compiler proves, so no checked variant
# appears in them to be found (lintian's override says the same).
list(TRANSFORM binaries PREPEND "${root}/")
list(POP_FRONT binaries program)
list(POP_BACK binaries module)
run(hardening-check --nocfprotection ${binaries})
run(hardening-check --nocfprotection --nofortify "${program}" "${module}")

# The unpacked tool works on a real bundle; the unpacked dialog starts and refuses a wrong call.
run("${root}/usr/bin/quorbel-imagetool" create -size 8m -type SPARSEBUNDLE -fs HFS+J -volname Packaged
    "${SCRATCH}/P.sparsebundle")
run("${root}/usr/bin/quorbel-imagetool" imageinfo "${SCRATCH}/P.sparsebundle")
if(NOT out MATCHES "Format: UDSB")
  message(FATAL_ERROR "imageinfo from the package did not describe the bundle:\n${out}")
endif()
# An encrypted one too: the unpacked tool finds its cryptography library.
file(WRITE "${SCRATCH}/password" "packaged")
execute_process(COMMAND "${root}/usr/bin/quorbel-imagetool" create -size 8m -type SPARSEBUNDLE -encryption AES-128
                        -stdinpass -fs HFS+J -volname Sealed "${SCRATCH}/S.sparsebundle"
                INPUT_FILE "${SCRATCH}/password" RESULT_VARIABLE result ERROR_VARIABLE err)
run("${root}/usr/bin/quorbel-imagetool" isencrypted "${SCRATCH}/S.sparsebundle")
if(NOT result EQUAL 0 OR NOT out MATCHES "encrypted: YES")
  message(FATAL_ERROR "the packaged tool did not make an encrypted bundle (${result}): ${err}\n${out}")
endif()
execute_process(COMMAND "${root}/usr/bin/quorbel-askpass" a b RESULT_VARIABLE result ERROR_VARIABLE err)
if(NOT result EQUAL 2 OR NOT err MATCHES "usage")
  message(FATAL_ERROR "the packaged password dialog did not start as expected (${result}): ${err}")
endif()
file(REMOVE_RECURSE "${SCRATCH}")
