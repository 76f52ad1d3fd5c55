# cmake -DIN=file -DOUT=record -P sha256_record.cmake: OUT holds the SHA-256 of IN as 64 lowercase
# hex digits, no line end. The program compares every engine file it runs with this record.
file(SHA256 "${IN}" digest)
file(WRITE "${OUT}" "${digest}")
