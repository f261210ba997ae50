# Draws printgate's tray icon, a label printer with a barcode label, with
# ImageMagick and packs it as 48, 32 and 16 pixel images in 32-bit colour.
# Run as: cmake -DCONVERT=... -DOUTPUT=.../printgate.ico -P draw_icon.cmake
get_filename_component(folder "${OUTPUT}" DIRECTORY)
set(master "${folder}/printgate-icon-256.png")
execute_process(
  COMMAND "${CONVERT}" -size 256x256 xc:none
    -fill "#1d4e89" -draw "roundrectangle 12,100 244,232 30,30"
    -fill "#0b2545" -draw "rectangle 44,132 212,150"
    -fill white -stroke "#0b2545" -strokewidth 8 -draw "rectangle 60,20 196,142" -stroke none
    -fill black -draw "rectangle 80,40 90,104" -draw "rectangle 100,40 106,104"
    -draw "rectangle 116,40 130,104" -draw "rectangle 140,40 146,104" -draw "rectangle 156,40 176,104"
    -fill "#3ddc84" -draw "circle 206,196 206,180"
    "PNG32:${master}"
  RESULT_VARIABLE drawResult)
if(NOT drawResult EQUAL 0)
  message(FATAL_ERROR "drawing the icon failed: ${drawResult}")
endif()
# Each size is scaled from the large master; -alpha on keeps every entry at
# 32 bits even where a size would fit a palette.
execute_process(
  COMMAND "${CONVERT}" "${master}"
    ( -clone 0 -resize 48x48 ) ( -clone 0 -resize 32x32 ) ( -clone 0 -resize 16x16 )
    -delete 0 -alpha on "${OUTPUT}"
  RESULT_VARIABLE packResult)
if(NOT packResult EQUAL 0)
  message(FATAL_ERROR "packing the icon failed: ${packResult}")
endif()
