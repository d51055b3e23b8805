# Writes LINES lines of PATH-like text, each ended by EOL (the platform's line
# end: LF, or CR LF for Windows), about 80 bytes a line on average, the same
# bytes on every run and with every awk. Two lines carry marker words found
# nowhere else: line MIDDLE contains REMOVE, the last line contains TAIL.
#   awk -v LINES=2000000 -v EOL='\n' -v REMOVE=word -v TAIL=word -f gen_paths.awk > file

# Park-Miller generator: every product stays below 2^53, so doubles are exact.
function next_rand(n) {
  seed = (seed * 16807) % 2147483647
  return seed % n
}

function folder(    kind) {
  kind = next_rand(6)
  if (kind == 0) return "C:\\Program Files\\" vendors[next_rand(nv) + 1] next_rand(900) "\\" products[next_rand(np) + 1] next_rand(90) "\\bin"
  if (kind == 1) return "C:\\Program Files (x86)\\" vendors[next_rand(nv) + 1] "\\" products[next_rand(np) + 1] "\\" next_rand(20) "." next_rand(10)
  if (kind == 2) return "C:\\Tools\\" products[next_rand(np) + 1] "-" next_rand(100) "." next_rand(100) "\\" leaves[next_rand(nl) + 1]
  if (kind == 3) return "%SystemRoot%\\" leaves[next_rand(nl) + 1]
  if (kind == 4) return "D:\\" vendors[next_rand(nv) + 1] "\\" leaves[next_rand(nl) + 1] "\\" products[next_rand(np) + 1] next_rand(1000)
  return "C:\\Users\\user" next_rand(500) "\\AppData\\Local\\" products[next_rand(np) + 1]
}

function path_line(    line, target) {
  target = 27 + next_rand(70)
  line = folder()
  while (length(line) < target) line = line ";" folder()
  return line
}

BEGIN {
  seed = 20261207
  nv = split("Acme Contoso Fabrikam Northwind Initech Globex Umbrella Tyrell Wayne Stark Hooli Vandelay", vendors, " ")
  np = split("Studio Runtime Toolkit Server Agent Compiler Viewer Editor Sync Bridge Monitor Player", products, " ")
  nl = split("bin lib System32 Wbem WindowsPowerShell\\v1.0 OpenSSH Scripts cmd x64 share\\tools", leaves, " ")
  middle = int(LINES / 2)
  for (i = 1; i <= LINES; i++) {
    line = path_line()
    if (i == middle) line = "C:\\Program Files\\" REMOVE "\\bin;" line
    if (i == LINES) line = line ";C:\\" TAIL "\\bin"
    printf "%s%s", line, EOL
  }
}
