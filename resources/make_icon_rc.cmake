# Turns icon.txt, 32 lines of 32 pixels ('.' transparent, '#' black,
# 'o' white), into resource statements for a 32 x 32 icon of one bit per
# pixel with its transparency mask.
#   cmake -DICON_TEXT=icon.txt -DOUTPUT=icon.rc -P make_icon_rc.cmake
file(STRINGS "${ICON_TEXT}" rows)
list(LENGTH rows count)
if(NOT count EQUAL 32)
  message(FATAL_ERROR "${ICON_TEXT}: 32 lines expected, found ${count}")
endif()

set(colour_words "")
set(mask_words "")
# Bitmaps are stored bottom row first, each row 4 bytes, high bit leftmost;
# resource data is written as 16-bit little-endian words.
foreach(y RANGE 31 0 -1)
  list(GET rows ${y} row)
  string(LENGTH "${row}" width)
  if(NOT width EQUAL 32)
    message(FATAL_ERROR "${ICON_TEXT}: line ${y} is not 32 pixels wide")
  endif()
  set(colour_bytes "")
  set(mask_bytes "")
  foreach(byte RANGE 0 3)
    set(colour 0)
    set(mask 0)
    foreach(bit RANGE 0 7)
      math(EXPR x "${byte} * 8 + ${bit}")
      math(EXPR weight "128 >> ${bit}")
      string(SUBSTRING "${row}" ${x} 1 pixel)
      if(pixel STREQUAL ".")
        math(EXPR mask "${mask} + ${weight}")
      elseif(pixel STREQUAL "o")
        math(EXPR colour "${colour} + ${weight}")
      elseif(NOT pixel STREQUAL "#")
        message(FATAL_ERROR "${ICON_TEXT}: unknown pixel '${pixel}' in line ${y}")
      endif()
    endforeach()
    list(APPEND colour_bytes ${colour})
    list(APPEND mask_bytes ${mask})
  endforeach()
  foreach(pair 0 2)
    math(EXPR high "${pair} + 1")
    list(GET colour_bytes ${pair} low_byte)
    list(GET colour_bytes ${high} high_byte)
    math(EXPR word "${low_byte} + ${high_byte} * 256" OUTPUT_FORMAT HEXADECIMAL)
    string(APPEND colour_words "${word}, ")
    list(GET mask_bytes ${pair} low_byte)
    list(GET mask_bytes ${high} high_byte)
    math(EXPR word "${low_byte} + ${high_byte} * 256" OUTPUT_FORMAT HEXADECIMAL)
    string(APPEND mask_words "${word}, ")
  endforeach()
endforeach()
string(REGEX REPLACE ", $" "" mask_words "${mask_words}")

# Header (40 bytes, height doubled for the mask), black and white palette,
# colour bits, mask bits: 304 bytes in all.
file(WRITE "${OUTPUT}" "// Generated from icon.txt; do not edit.
1 3
BEGIN
  40L, 32L, 64L, 1, 1, 0L, 256L, 0L, 0L, 2L, 0L,
  0x00000000L, 0x00FFFFFFL,
  ${colour_words}
  ${mask_words}
END

1 14
BEGIN
  0, 1, 1,
  0x2020, 0x0002, 1, 1, 304L, 1
END
")
