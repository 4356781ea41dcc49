package gameserver.tests;

import gameserver.DBIface;

/**
 * Runs a script of native calls in a fresh JVM and prints one result line per call, after
 * whatever trace lines the library wrote during that call.
 *
 * <p>Calls: {@code init:PATH}, {@code initnull}, {@code rows}, {@code get:N},
 * {@code getascii:N}, {@code write:TEXT}, {@code writenull}, {@code insert:N:TEXT},
 * {@code insertnull:N}, {@code poke:PATH:OFFSET:TEXT}, and the Table calls of {@link TableCalls}. Arguments use the escapes of {@link #esc}, so any Java string,
 * including NUL and surrogates, survives the command line whatever the locale.
 *
 * <p>Results: {@code => 3}, {@code => "row text"} (escaped), {@code => (void)}, or
 * {@code !! ExceptionClass [<- CauseClass]}. Messages are not printed, only whether one is
 * missing, so the expected output does not depend on their wording.
 */
public final class Child {
    private Child() {}

    // Later stores through a mapping whose page is already writable fault no more, so they
    // move no time stamp and raise no event.
    private static java.nio.MappedByteBuffer mapping;

    public static void main(String[] args) {
        for (String call : args) {
            // The library writes its trace straight to fd 1; our own buffered text must
            // already be out so the two interleave in call order.
            System.out.flush();
            String result;
            try {
                result = run(call);
            } catch (Throwable t) {
                result = "!! " + describe(t);
                if (t.getCause() != null) {
                    result += " <- " + describe(t.getCause());
                }
            }
            System.out.print(result + "\n");
            System.out.flush();
        }
    }

    private static String run(String call) throws Exception {
        int colon = call.indexOf(':');
        String op = colon < 0 ? call : call.substring(0, colon);
        String arg = colon < 0 ? "" : unesc(call.substring(colon + 1));
        if (op.startsWith("t.") || op.equals("rm")) {
            String result = TableCalls.run(op, arg);
            if (result == null) throw new Error("bad script call: " + call);
            return result;
        }
        arg = colon < 0 ? "" : call.substring(colon + 1);
        switch (op) {
            case "init":
                DBIface.init(unesc(arg));
                return "=> (void)";
            case "initnull":
                DBIface.init(null);
                return "=> (void)";
            case "rows":
                return "=> " + DBIface.getNumRows();
            case "get":
                return "=> " + quote(DBIface.getRow(Integer.parseInt(arg)));
            case "getascii":
                return "=> " + quote(collapseNonAscii(DBIface.getRow(Integer.parseInt(arg))));
            case "write":
                DBIface.writeRow(unesc(arg));
                return "=> (void)";
            case "writenull":
                DBIface.writeRow(null);
                return "=> (void)";
            case "insert": {
                int c = arg.indexOf(':');
                DBIface.writeRowToLine(unesc(arg.substring(c + 1)),
                        Integer.parseInt(arg.substring(0, c)));
                return "=> (void)";
            }
            case "poke": {  // poke:PATH:OFFSET:TEXT, stored through one shared mapping of the file
                String[] p = unesc(arg).split(":", 3);
                if (mapping == null) {
                    try (java.nio.channels.FileChannel ch = java.nio.channels.FileChannel.open(
                            java.nio.file.Path.of(p[0]), java.nio.file.StandardOpenOption.READ,
                            java.nio.file.StandardOpenOption.WRITE)) {
                        mapping = ch.map(java.nio.channels.FileChannel.MapMode.READ_WRITE, 0, ch.size());
                    }
                }
                mapping.put(Integer.parseInt(p[1]), p[2].getBytes(java.nio.charset.StandardCharsets.UTF_8));
                return "=> (void)";
            }
            case "insertnull":
                DBIface.writeRowToLine(null, Integer.parseInt(arg));
                return "=> (void)";
            default:
                throw new Error("bad script call: " + call);
        }
    }

    private static String describe(Throwable t) {
        String m = t.getMessage();
        return t.getClass().getName() + (m == null || m.isEmpty() ? " (no message)" : "");
    }

    private static String quote(String s) {
        return s == null ? "(null)" : "\"" + esc(s) + "\"";
    }

    /** Each run of characters outside printable ASCII becomes one '?'. */
    private static String collapseNonAscii(String s) {
        if (s == null) {
            return null;
        }
        return s.replaceAll("[^\\x20-\\x7e]+", "?");
    }

    /** Printable ASCII stays; backslash and quote are escaped; every other char is \\uXXXX. */
    public static String esc(String s) {
        StringBuilder b = new StringBuilder();
        for (int i = 0; i < s.length(); i++) {
            char c = s.charAt(i);
            if (c == '\\' || c == '"') {
                b.append('\\').append(c);
            } else if (c >= 0x20 && c < 0x7f) {
                b.append(c);
            } else {
                b.append(String.format("\\u%04X", (int) c));
            }
        }
        return b.toString();
    }

    public static String unesc(String s) {
        StringBuilder b = new StringBuilder();
        for (int i = 0; i < s.length(); i++) {
            char c = s.charAt(i);
            if (c != '\\') {
                b.append(c);
            } else if (s.charAt(i + 1) == 'u') {
                b.append((char) Integer.parseInt(s.substring(i + 2, i + 6), 16));
                i += 5;
            } else {
                b.append(s.charAt(++i));
            }
        }
        return b.toString();
    }
}
