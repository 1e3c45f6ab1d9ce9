"""Print every C++ function body longer than LIMIT lines: `tools/function_lengths.py 80 FILE...`.

Comments, string literals and preprocessor lines are blanked, then braces are tracked: a '{' met
outside any function whose preceding text (since the last ';', '{' or '}') holds a ')' and is not a
control statement, an initialiser or a namespace/class head opens a function; its lines run to the
matching '}', lambdas and nested blocks included.
"""
import pathlib
import re
import sys

LIMIT = int(sys.argv[1]); files = sys.argv[2:]
for path in files:
    src = pathlib.Path(path).read_text()
    # blank out comments and string/char literals, keep newlines
    out = []; i = 0; n = len(src)
    while i < n:
        c = src[i]
        if src.startswith('//', i):
            j = src.find('\n', i); j = n if j < 0 else j; out.append(' ' * (j - i)); i = j
        elif src.startswith('/*', i):
            j = src.find('*/', i) + 2; out.append(re.sub(r'[^\n]', ' ', src[i:j])); i = j
        elif src.startswith('R"', i) and (i == 0 or not (src[i-1].isalnum() or src[i-1]=='_')):
            m = re.match(r'R"([^(]*)\(', src[i:]); end = ')' + m.group(1) + '"'
            j = src.find(end, i) + len(end); out.append(re.sub(r'[^\n]', ' ', src[i:j])); i = j
        elif c in '"\'' and not (c == "'" and i > 0 and src[i-1].isalnum()):
            j = i + 1
            while j < n and src[j] != c:
                j += 2 if src[j] == '\\' else 1
            out.append(' ' * (j + 1 - i)); i = j + 1
        else:
            out.append(c); i += 1
    s = ''.join(out)
    s = '\n'.join(' ' * len(l) if l.lstrip().startswith('#') else l for l in s.split('\n'))
    stack = []  # entries: (kind, start_line)
    last = 0
    for k, ch in enumerate(s):
        if ch == '{':
            head = s[last:k]
            in_fn = any(kd == 'fn' for kd, _ in stack)
            h = head.strip()
            is_fn = (not in_fn and ')' in h and not re.match(r'^(if|for|while|switch|else|do)\b', h)
                     and not re.search(r'=\s*$', h) and not re.match(r'^(namespace|struct|class|enum|union)\b', h.split('\n')[-1].strip()))
            stack.append(('fn' if is_fn else 'blk', s.count('\n', 0, k) + 1))
            last = k + 1
        elif ch == '}':
            if stack:
                kd, start = stack.pop()
                if kd == 'fn':
                    end = s.count('\n', 0, k) + 1
                    if end - start + 1 > LIMIT:
                        hl = src.splitlines()[start-1].strip()[:70]
                        print(f"{end-start+1:4d} {path}:{start} {hl}")
            last = k + 1
        elif ch == ';':
            last = k + 1
