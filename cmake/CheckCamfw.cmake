cmake_minimum_required(VERSION 3.25)
# Runs camfw (CAMFW) as a user does, in WORK_DIR, and checks its exit status
# and what it prints. CHECK names the case:
#   simulate-default   no arguments: the two-slot camera and its signed sample
#   simulate-banked    --camera n --bcd 0345
#   simulate-whole     --camera k
#   capsule-roundtrip  sample, capsule, inspect and simulate of that capsule
#   sign               sign gives the signed sample back; the chunk matters
#   camera-build       the camera's chunk and boot registers, the bus that
#                      enumerates as EDK II's does, no embedded controller,
#                      the sample's header version and the flash written out
#   errors             bad files and command lines: a sentence and an exit status
#   figures            the power-cut sweep of the two-slot road, thinly sampled,
#                      and the sections that read the build tree

file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR})

# camfw(<exit status> ARGS...): runs it, fails unless the status is the one
# given, and leaves stdout in OUT and stderr in ERR.
function(camfw expected)
  execute_process(COMMAND ${CAMFW} ${ARGN} WORKING_DIRECTORY ${WORK_DIR}
                  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc STREQUAL "${expected}")
    message(FATAL_ERROR "camfw ${ARGN}: exit status ${rc}, expected ${expected}\nstdout:\n${out}\nstderr:\n${err}")
  endif()
  set(OUT "${out}" PARENT_SCOPE)
  set(ERR "${err}" PARENT_SCOPE)
endfunction()

# expect(<text> <regex>...): every regex matches the text.
function(expect text)
  foreach(regex IN LISTS ARGN)
    if(NOT text MATCHES "${regex}")
      message(FATAL_ERROR "no match for \"${regex}\" in:\n${text}")
    endif()
  endforeach()
endfunction()

set(ESRT_ENTRY "FwClass A6A82337-904E-4742-9ECA-CF8E7DE4DE17 +FwType 2 +FwVersion")

if(CHECK STREQUAL "simulate-default")
  camfw(0 simulate)
  expect("${OUT}"
    "ESRT before the update \\(boot 1\\):\n +${ESRT_ENTRY} 0x0100 "
    "ESRT after the update \\(boot 3\\):\n +${ESRT_ENTRY} 0x0200 "
    "Result: the new bcdDevice 0x0200 is published \\(it was 0x0100\\)"
    "progress \\[#+\\] 100/100 steps"
    "two-slot road: the signed digest [0-9a-f]+\\.\\.\\. handed to the ISP on selector 0x1F"
    "written before the update window: 0x00000\\.\\.0x00FFF"
    "two-slot road: written inside the update window \\(0x6000 = 1 \\.\\.\\. 0\\): 0x41000\\.\\.0x42FFF"
    "Camera now runs slot 1 and presents 30C9:004A bcdDevice 0x0200"
    "Note: the camera restarted 1 time\\(s\\) in the middle of an update, while the driver's notification ran"
    "0x41000\\.\\.0x43FFF +12288 of +12288 bytes differ"
    "1979\\.\\.1980 +device version +0x0200"
    "1981\\.\\.1982 +device version, copy +0x0200"
    "every other byte: unchanged"
    "Totals: 3 boot\\(s\\), [0-9]+ USB transfers, virtual time [0-9.]+ s; capsules still pending 0")
elseif(CHECK STREQUAL "simulate-banked")
  camfw(0 simulate --camera n --bcd 0345)
  expect("${OUT}"
    "Camera +ISP 'n' \\(banked layout\\)"
    "Result: the new bcdDevice 0x0345 is published \\(it was 0x0100\\)"
    "banked road: written inside the update window \\(0x6000 = 1 \\.\\.\\. 0\\): 0x08000\\.\\.0x0DFFF"
    "banked road: the bank header at 0x7000 rewritten after the window closed"
    "Camera now runs its firmware bank and presents 30C9:004A bcdDevice 0x0345"
    "1979\\.\\.1980 +device version +0x0345")
elseif(CHECK STREQUAL "simulate-whole")
  camfw(0 simulate --camera k)
  expect("${OUT}"
    "whole-image road: 0x00000\\.\\.0x07FFF written, the first chunk \\(64 bytes\\) first as a blank \\(0xFF but F9 at 0x0\\) and last with the image's bytes"
    "0x00000\\.\\.0x07FFF +[0-9]+ of +32768 bytes differ"
    "Result: the new bcdDevice 0x0200 is published \\(it was 0x0100\\)"
    "Camera now runs its whole image and presents 30C9:004A bcdDevice 0x0200"
    "1999\\.\\.2030 +version data +[0-9a-f]+ \"camfw sample 30C9:004A 2\\.00\"")
elseif(CHECK STREQUAL "capsule-roundtrip")
  camfw(0 sample -o image.bin)
  camfw(0 capsule image.bin -o image.cap)
  file(SIZE ${WORK_DIR}/image.bin image_size)
  file(SIZE ${WORK_DIR}/image.cap capsule_size)
  math(EXPR header_size "${capsule_size} - ${image_size}")
  # The GUID in its memory layout, HeaderSize 28, Flags 0x10000; then the image.
  file(READ ${WORK_DIR}/image.cap header LIMIT 24 HEX)
  file(READ ${WORK_DIR}/image.cap payload OFFSET 28 HEX)
  file(READ ${WORK_DIR}/image.bin image HEX)
  if(NOT header_size EQUAL 28 OR NOT header STREQUAL "3723a8a64e9042479ecacf8e7de4de171c00000000000100"
     OR NOT payload STREQUAL image)
    message(FATAL_ERROR "image.cap: header ${header}, ${header_size} bytes, payload differs: ${payload}")
  endif()
  camfw(0 inspect image.cap)
  expect("${OUT}"
    "GUID +A6A82337-904E-4742-9ECA-CF8E7DE4DE17 \\(the firmware class of camera 30C9:004A\\)"
    "flags +0x10000 \\(PERSIST_ACROSS_RESET\\)"
    "HeaderSize +28\n"
    "CapsuleImageSize +${capsule_size}\n"
    "Image: ${image_size} bytes \\(the capsule's payload\\)"
    "header format +3: "
    "version +30C9:004A bcdDevice 0x0200"
    "verdict +the digests match")
  camfw(0 simulate image.cap)
  expect("${OUT}" "Result: the new bcdDevice 0x0200 is published")
elseif(CHECK STREQUAL "sign")
  camfw(0 sample --camera q --bcd 0301 --unsigned -o unsigned.bin)
  camfw(0 sign unsigned.bin -o signed.bin)
  camfw(0 sample --camera q --bcd 0301 -o sample.bin)
  file(SHA256 ${WORK_DIR}/signed.bin signed)
  file(SHA256 ${WORK_DIR}/sample.bin sample)
  if(NOT signed STREQUAL sample)
    message(FATAL_ERROR "camfw sign and camfw sample give different signed images")
  endif()
  camfw(0 inspect unsigned.bin)
  expect("${OUT}" "verdict +the digests differ")
  camfw(0 inspect signed.bin --chunk 0x300)
  expect("${OUT}" "chunks of 768\\)" "verdict +the digests differ")
  camfw(0 inspect signed.bin)
  expect("${OUT}" "verdict +the digests match")
elseif(CHECK STREQUAL "camera-build")
  # A header newer than the camera's makes the driver restart the ISP in the
  # middle of the update; on a bus that sees the restarted camera only after
  # the driver's notification, the camera is lost and keeps slot 0.
  camfw(0 sample --camera p --chunk 1024 -o newer-header.bin)
  expect("${OUT}" "header version 2, signed")
  camfw(0 capsule newer-header.bin -o newer-header.cap)
  camfw(0 simulate newer-header.cap --chunk 1024 --bus enumerated)
  expect("${OUT}"
    "chunk 1024 bytes"
    "Bus +enumerates from its root-port poll"
    "Result: the ESRT entry still shows bcdDevice 0x0100 although the camera's flash changed"
    "Camera now runs slot 0")
  camfw(0 simulate newer-header.cap --chunk 1024 --bus immediate)
  expect("${OUT}" "Result: the new bcdDevice 0x0200 is published")
  # The camera's own header version: no restart before the slot update, so
  # the same bus is no obstacle. The slot data lands in slot 1 as signed for
  # the 1024-byte chunk the camera moves.
  camfw(0 sample --camera p --chunk 1024 --header-version 1 -o same-header.bin)
  expect("${OUT}" "header version 1, signed")
  file(READ ${WORK_DIR}/same-header.bin version LIMIT 4 OFFSET 2 HEX)
  if(NOT version STREQUAL "00000001")
    message(FATAL_ERROR "the sample's header version reads ${version}, not 00000001 big-endian")
  endif()
  camfw(0 capsule same-header.bin -o same-header.cap)
  camfw(0 simulate same-header.cap --chunk 1024 --ec absent)
  if(OUT MATCHES "Note: the camera restarted")
    message(FATAL_ERROR "an update without a restart in its middle is noted as having one:\n${OUT}")
  endif()
  camfw(0 simulate same-header.cap --chunk 1024 --bus enumerated --ec absent --flash-out flash.bin
        --requests-out requests.txt)
  expect("${OUT}"
    "EC +absent: its ports read 0xFF"
    "platform hook calls 3; EC transactions 0;"
    "Result: the new bcdDevice 0x0200 is published"
    "Camera now runs slot 1"
    "ISP restarts asked for: 1 ")
  # The requests that reached the camera, boot by boot, in camera-redir's
  # words with the virtual time: the ESRT entry's GET_LEN in each boot, the
  # signed digest and the slot's 1024-byte chunks in the second.
  file(READ ${WORK_DIR}/requests.txt requests)
  expect("${requests}"
    "^boot 1\n. +0\\.000. control 0x80 0x06 wValue 0x0100 wIndex 0x0000 wLength 18 -> success, 18 bytes\n"
    ". control 0xA1 0x85 wValue 0x0200 wIndex 0x0400 wLength 2 -> success, 2 bytes\n"
    "\nboot 2\n"
    ". control 0x21 0x01 wValue 0x1F00 wIndex 0x0400 wLength 32 -> success\n"
    ". control 0x21 0x01 wValue 0x0F00 wIndex 0x0400 wLength 1024 -> success\n"
    "\nboot 3\n")
  file(SIZE ${WORK_DIR}/flash.bin flash_size)
  file(READ ${WORK_DIR}/flash.bin slot LIMIT 8192 OFFSET 266240 HEX)
  file(READ ${WORK_DIR}/same-header.bin data LIMIT 8192 OFFSET 12288 HEX)
  if(NOT flash_size EQUAL 1048576 OR NOT slot STREQUAL data)
    message(FATAL_ERROR "flash.bin: ${flash_size} bytes; slot 1 holds the image's slot data: no")
  endif()
  # A banked camera whose boot says it stays on the bus is not re-found, so
  # the same bus keeps it; with the hints of 0 it re-enumerates and is lost.
  camfw(0 sample --camera n -o bank.bin)
  camfw(0 capsule bank.bin -o bank.cap)
  camfw(0 simulate bank.cap --camera n --register 20DC=01 --bus enumerated)
  expect("${OUT}" "its boot sets register 0x20DC = 0x01" "Result: the new bcdDevice 0x0200 is published")
  camfw(0 simulate bank.cap --camera n --bus enumerated)
  expect("${OUT}" "Result: the ESRT entry still shows bcdDevice 0x0100")
  camfw(2 simulate --register 20DC)
  expect("${ERR}" "^camfw: --register takes ADDR=VALUE")
  camfw(1 simulate --register 20DC=100)
  expect("${ERR}" "^camfw: the register value 100 is too large")
  camfw(2 simulate --ec none)
  expect("${ERR}" "^camfw: --ec is present or absent, not \"none\"")
  camfw(2 simulate --bus polled)
  expect("${ERR}" "^camfw: --bus is immediate or enumerated, not \"polled\"")
  camfw(2 sample --camera k --header-version 1 -o k.bin)
  expect("${ERR}" "^camfw: --header-version is for two-slot samples")
  # A longer slot: the slot words and the version block move with its end,
  # and the signed window covers it all.
  camfw(0 sample --camera q --slot-length 0x15000 -o long.bin)
  file(SIZE ${WORK_DIR}/long.bin long_size)
  file(READ ${WORK_DIR}/long.bin words LIMIT 8 OFFSET 12584 HEX)
  file(READ ${WORK_DIR}/long.bin block LIMIT 4 OFFSET 98304 HEX)
  if(NOT long_size EQUAL 102560 OR NOT words STREQUAL "0001500000015000" OR NOT block STREQUAL "4b56454c")
    message(FATAL_ERROR "long.bin: ${long_size} bytes, slot words ${words}, at the slot's end ${block}")
  endif()
  camfw(0 inspect long.bin)
  expect("${OUT}" "verdict +the digests match")
  camfw(1 sample --camera p --slot-length 0x100 -o short.bin)
  expect("${ERR}" "^camfw: a slot length of 0x100 bytes does not fit the sample")
elseif(CHECK STREQUAL "errors")
  camfw(0 sample --camera k -o image.bin)
  file(WRITE ${WORK_DIR}/short.cap "0123456789")
  file(WRITE ${WORK_DIR}/empty.bin "")
  camfw(1 inspect missing.bin)
  expect("${ERR}" "^camfw: cannot read missing.bin: No such file or directory\n$")
  camfw(1 simulate missing.cap)
  expect("${ERR}" "^camfw: capsule file missing.cap: No such file or directory")
  camfw(1 simulate image.bin)
  expect("${ERR}" "^camfw: capsule file image.bin: CapsuleImageSize says [0-9]+ bytes, the file has 32768; ")
  camfw(1 simulate short.cap)
  expect("${ERR}" "^camfw: capsule file short.cap: 10 bytes, shorter than a capsule header \\(28 bytes\\)")
  camfw(1 simulate --camera z)
  expect("${ERR}" "^camfw: unknown camera kind 'z' \\(known: f g h i j k l m n p q\\)\n$")
  camfw(1 sign image.bin -o signed.bin)
  expect("${ERR}" "^camfw: image.bin: the image has no two-slot header")
  camfw(1 capsule empty.bin -o empty.cap)
  expect("${ERR}" "^camfw: empty.bin is empty")
  camfw(1 sample --bcd 10000 -o x.bin)
  expect("${ERR}" "^camfw: bcdDevice 10000 is too large")
  camfw(2 capsule image.bin)
  expect("${ERR}" "^camfw: camfw capsule needs -o FILE for its output\n")
  camfw(2 frobnicate)
  expect("${ERR}" "^camfw: unknown command \"frobnicate\"\n")
  camfw(2 simulate --speed 2)
  expect("${ERR}" "^camfw: camfw simulate has no option --speed\n")
  if(EXISTS ${WORK_DIR}/signed.bin OR EXISTS ${WORK_DIR}/empty.cap OR EXISTS ${WORK_DIR}/x.bin)
    message(FATAL_ERROR "a command that failed left an output file")
  endif()
elseif(CHECK STREQUAL "figures")
  camfw(0 figures --section power-cuts --road p-slot --stride 400)
  expect("${OUT}"
    "== Power cuts: the whole job, the power cut at one extension-unit transfer of the update =="
    "\n  p-slot +[0-9]+ +[0-9]+ +[0-9]+ +[0-9]+ +[0-9]+ +[0-9]+ +[0-9]+ +[0-9]+ +- +1 +[0-9.]+ s\n"
    "p-slot: P slot \\('p', header version not above the camera's\\)\n +1 cut point\\(s\\) did not recover:"
    "before #[0-9]+ \\(1 cut\\) in 'header block write at 0x0': after the cut: ROM, recovery identity 1BCF:0B19"
    "mends 1 of them")
  file(MAKE_DIRECTORY ${WORK_DIR}/build/h/fuzz)
  file(WRITE ${WORK_DIR}/build/h/fuzz/Capsule.stats "stat::number_of_executed_units: 4242\n")
  camfw(0 figures --section fuzz --section benchmarks)
  expect("${OUT}" "== Fuzzing ==\n\n +target +number_of_executed_units\n" "Capsule +4242\n"
    "== Benchmarks ==\n\n +no benchmark results under build/\\*/benchmarks\\*.json")
  camfw(1 figures --section sweeps)
  expect("${ERR}" "^camfw: unknown section 'sweeps' \\(known: power-cuts, double-cuts, transfer-faults, fuzz, benchmarks, tables\\)\n$")
  camfw(1 figures --road x)
  expect("${ERR}" "^camfw: unknown road 'x' \\(known: g, n-whole, n-bank, p-slot, p-fallback, p-header\\)\n$")
  camfw(1 figures --stride 0)
  camfw(2 figures extra)
else()
  message(FATAL_ERROR "unknown CHECK ${CHECK}")
endif()
