package gameserver;

import java.io.BufferedOutputStream;
import java.io.File;
import java.io.FileDescriptor;
import java.io.FileOutputStream;
import java.io.IOException;
import java.io.PrintStream;
import java.io.UncheckedIOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Locale;
import java.util.Map;

/**
 * Command-line tool for operators: {@code java -jar gameserver-dbiface-VERSION.jar TABLE
 * COMMAND ...}. It reads and writes rows through the five native methods of {@link DBIface},
 * so it sees a table exactly as the game server does, and lists, checks, backs up and edits
 * it through {@link TableTools}, under the same locks. It prints its results only; with
 * {@code --trace} the trace lines of the DBIface calls come first on standard output, and the
 * results after every native call is done, or into the file given by {@code --output}.
 */
public final class Cli {
    static final int OK = 0;
    static final int FAILED = 1;
    static final int USAGE = 2;

    /** The jar's file name as the build names it. */
    static String jarName() {
        // Not the manifest's Implementation-Version: in a shaded jar that is absent or the
        // application's.
        return "gameserver-dbiface-" + Version.VERSION + ".jar";
    }

    static String help() {
        return "usage: java -jar " + jarName() + " TABLE COMMAND [ARGS] [-o FILE] [--trace]\n" + """

            Commands:
              count                number of data rows
              get N                data row N (1 = first line after the header) as row text
              list [--table]       every data row as row text, one per line;
                                   --table: aligned columns under a header instead
              add 'RECORD'         append a record, e.g. 'NAME=ann, SCORE=10, DATE=1/1/2020'
              insert LINE 'RECORD' insert a record so that it becomes data row LINE;
                                   LINE = rows + 1 appends
              backup DEST [--verbose]
                                   a copy of the table as of one moment, written to DEST
                                   (a file, or a directory to put it in) through a
                                   temporary file renamed into place; --verbose: how
                                   long the table's lock was held
              check [--repair]     name, with line numbers, whatever hides or garbles
                                   rows; exit 1 when anything is found. --repair first
                                   rolls back an unfinished write, as any library call
                                   would, and changes nothing else
              edit [--with FILE]   edit a copy in $VISUAL or $EDITOR, check it, and apply
                                   it in one step; rows appended meanwhile are kept after
                                   it. --with FILE applies FILE's content instead
              --version, version   the jar's and the native library's version
              --help               this text

            Options:
              -o FILE, --output FILE
                                   (count, get and list) write the results to FILE (UTF-8)
                                   instead of standard output
              --trace              the library's trace lines first on standard output

            TABLE must exist, its first line naming the columns (e.g. NAME|SCORE|DATE);
            write that line with an editor first. Non-ASCII arguments need a UTF-8 locale
            (e.g. LANG=C.UTF-8).
            Exit status: 0 done, 1 refused, I/O error or (check) problems found (message
            on standard error), 2 usage error. Operating a live table: docs/operations.md.
            """;
    }

    private Cli() {}

    /** Thrown for a malformed command line. */
    static final class UsageException extends Exception {
        private static final long serialVersionUID = 1L;

        UsageException(String message) {
            super(message);
        }
    }

    /** Thrown when the command is refused before the library is asked. */
    static final class RefusedException extends RuntimeException {
        private static final long serialVersionUID = 1L;

        RefusedException(String message) {
            super(message);
        }
    }

    public static void main(String[] args) {
        // Table text is UTF-8; print it as such whatever the locale, like the trace lines.
        // Straight to the descriptor, buffered: System.out would hide a closed pipe.
        PrintStream out = new PrintStream(new BufferedOutputStream(new FileOutputStream(FileDescriptor.out), 1 << 16),
                false, StandardCharsets.UTF_8);
        PrintStream err = new PrintStream(System.err, true, StandardCharsets.UTF_8);
        int status = run(args, out, err);
        out.flush();
        err.flush();
        System.exit(status);
    }

    static int run(String[] args, PrintStream out, PrintStream err) {
        if (args.length == 1 && (args[0].equals("--help") || args[0].equals("-h"))) {
            out.print(help());
            return OK;
        }
        Outcome results;
        Path output;
        try {
            undecodable(args, System.getProperty("sun.jnu.encoding"));
            List<String> rest = new ArrayList<>(List.of(args));
            traceOption(rest);
            output = outputOption(rest);
            results = execute(rest.toArray(new String[0]));
        } catch (UsageException e) {
            err.println("gameserver-dbiface: " + e.getMessage());
            err.println("try --help");
            return USAGE;
        } catch (RuntimeException | LinkageError e) {
            // A class that failed to load (a bad property, say) carries the reason as its cause.
            Throwable why = e instanceof ExceptionInInitializerError && e.getCause() != null ? e.getCause() : e;
            String message = why.getMessage();
            err.println("gameserver-dbiface: " + (message != null ? message : why.toString()));
            return FAILED;
        }
        if (results.message() != null) {
            err.println("gameserver-dbiface: " + results.message());
        }
        if (output != null) {
            try {
                Files.write(output, results.lines(), StandardCharsets.UTF_8);
            } catch (IOException e) {
                err.println("gameserver-dbiface: cannot write " + output + ": " + e);
                return FAILED;
            }
            return results.status();
        }
        int n = 0;
        for (String line : results.lines()) {
            out.println(line);
            // A reader that went away (list | head) ends the output, quietly.
            if (++n % 1024 == 0 && out.checkError()) {
                return results.status();
            }
        }
        return results.status();
    }

    /** The lines a command prints, its exit status, and what to say on standard error. */
    record Outcome(List<String> lines, int status, String message) {
        Outcome(List<String> lines, int status) {
            this(lines, status, null);
        }
    }

    /**
     * The JVM decodes arguments in the locale's encoding; outside a UTF-8 locale a non-ASCII
     * character arrives as U+FFFD (or as some other character), and storing it would damage
     * the table silently. Refuse instead, naming the fix.
     */
    static void undecodable(String[] args, String encoding) throws UsageException {
        boolean utf8 = encoding == null || encoding.replace("-", "").equalsIgnoreCase("UTF8");
        if (utf8) {
            return;
        }
        for (String a : args) {
            if (!a.chars().allMatch(c -> c < 0x80)) {
                throw new UsageException("an argument holds non-ASCII characters, which the JVM "
                        + "cannot decode in this locale (encoding " + encoding + "); run with a "
                        + "UTF-8 locale, e.g. LANG=C.UTF-8; nothing was written");
            }
        }
    }

    /**
     * Takes {@code --trace} out of args and sets where the library's trace lines go before
     * the library loads: standard output with it, nowhere without, unless the system
     * property names a place itself.
     */
    static void traceOption(List<String> args) {
        boolean trace = args.removeIf(a -> a.equals("--trace"));
        if (System.getProperty(DBIface.TRACE_PROPERTY) == null) {
            System.setProperty(DBIface.TRACE_PROPERTY, trace ? "stdout" : "off");
        }
    }

    /** Takes {@code -o FILE} / {@code --output FILE} / {@code --output=FILE} out of args. */
    static Path outputOption(List<String> args) throws UsageException {
        Path output = null;
        for (int i = 2; i < args.size(); i++) {
            String a = args.get(i);
            String file;
            if (a.equals("-o") || a.equals("--output")) {
                if (i + 1 == args.size()) {
                    throw new UsageException(a + " needs a FILE");
                }
                file = args.remove(i + 1);
            } else if (a.startsWith("--output=")) {
                file = a.substring("--output=".length());
            } else {
                continue;
            }
            args.remove(i--);
            if (output != null) {
                throw new UsageException("--output given twice");
            }
            output = Path.of(file);
        }
        if (output != null && !List.of("count", "get", "list").contains(args.get(1))) {
            throw new UsageException("--output is for count, get and list only");
        }
        return output;
    }

    static void mustExist(String table, String command) {
        if (new File(table).exists()) {
            return;
        }
        if (command.equals("add") || command.equals("insert")) {
            throw new RefusedException("no such table file: " + table + "; create it with its "
                    + "header line first, e.g. printf 'NAME|SCORE|DATE\\n' > " + table);
        }
        throw new RefusedException("no such table file: " + table);
    }

    /** Runs the command and returns the lines to print and the exit status. */
    static Outcome execute(String[] args) throws UsageException {
        if (args.length == 1 && (args[0].equals("--version") || args[0].equals("version"))) {
            return new Outcome(version(), OK);
        }
        if (args.length < 2) {
            throw new UsageException(args.length == 0 ? "missing TABLE and COMMAND"
                    : "missing COMMAND");
        }
        return switch (args[1]) {
            case "count", "get", "list", "add", "insert" -> rowCommand(args);
            case "backup", "check", "edit" -> toolCommand(args);
            default -> throw new UsageException("unknown command '" + args[1] + "'");
        };
    }

    /** The commands that read and write rows through DBIface (list: through one image). */
    static Outcome rowCommand(String[] args) throws UsageException {
        String table = args[0];
        String command = args[1];
        int extra = args.length - 2;
        List<String> results = new ArrayList<>();
        switch (command) {
            case "count" -> {
                expectArgs(command, extra, 0);
                mustExist(table, command);
                DBIface.init(table);
                results.add(Integer.toString(DBIface.getNumRows()));
                warnHidden(table);
            }
            case "get" -> {
                expectArgs(command, extra, 1);
                int n = number(args[2], "N");
                mustExist(table, command);
                DBIface.init(table);
                int rows = DBIface.getNumRows();
                if (n < 1 || n > rows) {
                    throw new IndexOutOfBoundsException("no data row " + n + "; the table has "
                            + rows + (rows == 1 ? " row" : " rows"));
                }
                results.add(DBIface.getRow(n));
            }
            case "list" -> {
                boolean aligned = extra == 1 && args[2].equals("--table");
                if (extra != 0 && !aligned) {
                    throw new UsageException("list takes only --table (and --output)");
                }
                mustExist(table, command);
                results.addAll(list(table, aligned));
            }
            case "add" -> {
                expectArgs(command, extra, 1);
                mustExist(table, command);
                DBIface.init(table);
                DBIface.writeRow(args[2]);
            }
            case "insert" -> {
                expectArgs(command, extra, 2);
                int line = number(args[2], "LINE");
                mustExist(table, command);
                DBIface.init(table);
                DBIface.writeRowToLine(args[3], line);
            }
            default -> throw new IllegalStateException(command);
        }
        return new Outcome(results, OK);
    }

    /** The operator's commands on a live table: backup, check, edit. */
    static Outcome toolCommand(String[] args) throws UsageException {
        String table = args[0];
        String command = args[1];
        int extra = args.length - 2;
        switch (command) {
            case "backup" -> {
                boolean verbose = extra == 2 && args[3].equals("--verbose");
                if (!verbose) {
                    expectArgs(command, extra, 1);
                }
                mustExist(table, command);
                return new Outcome(List.of(), OK, backup(table, args[2], verbose));
            }
            case "check" -> {
                boolean repair = extra == 1 && args[2].equals("--repair");
                if (extra != 0 && !repair) {
                    throw new UsageException("check takes only --repair");
                }
                mustExist(table, command);
                return check(table, repair);
            }
            case "edit" -> {
                Path with = null;
                if (extra == 2 && args[2].equals("--with")) {
                    with = Path.of(args[3]);
                } else if (extra != 0) {
                    throw new UsageException("edit takes only --with FILE");
                }
                mustExist(table, command);
                return new Outcome(List.of(), OK, edit(table, with));
            }
            default -> throw new IllegalStateException(command);
        }
    }

    /** Every row of one image of the table, however busy its writers are. */
    static List<String> list(String table, boolean aligned) {
        String texts = TableTools.rowTexts(table);
        List<String> rows = texts.isEmpty() ? List.of()
                : Arrays.asList(texts.substring(0, texts.length() - 1).split("\n", -1));
        warnHidden(table);
        return aligned ? align(rows) : rows;
    }

    /** Backs the table up; returns what --verbose says on standard error, else null. */
    static String backup(String table, String dest, boolean verbose) {
        long[] r = TableTools.backup(table, dest);
        return !verbose ? null : r[0] + " bytes in " + r[1] + (r[1] == 1 ? " copy" : " copies")
                + "; the table's lock held at most " + String.format(Locale.ROOT, "%.1f", r[2] / 1000.0) + " ms";
    }

    /** The findings, one per line, and status 1 when there are any; --repair first. */
    static Outcome check(String table, boolean repair) {
        List<String> results = new ArrayList<>();
        if (repair) {
            results.add(table + ": " + (TableTools.repair(table)
                    ? "rolled back an unfinished write" : "no unfinished write to roll back"));
        }
        String[] findings = TableTools.check(table);
        if (findings.length == 0) {
            results.add(table + ": clean");
            return new Outcome(results, OK);
        }
        results.addAll(Arrays.asList(findings));
        return new Outcome(results, FAILED, table + ": " + findings.length
                + (findings.length == 1 ? " problem" : " problems") + " found");
    }

    /** The jar's version, and the native library's version, platform and origin. */
    static List<String> version() {
        String build = TableTools.nativeBuild();
        int space = build.indexOf(' ');
        return List.of("gameserver-dbiface " + Version.VERSION,
                "native library " + build.substring(0, space) + " for " + build.substring(space + 1)
                        + ", loaded from " + NativeLoader.loadedFrom);
    }

    /**
     * Applies a hand edit: a snapshot, edited in an editor (or replaced by the content of
     * {@code with}), checked, then written in one step unless the table changed meanwhile
     * other than by appended rows. A refused edit keeps the edited copy and names it.
     * Returns what to say on standard error of rows appended meanwhile, or null.
     */
    static String edit(String table, Path with) {
        byte[] base = TableTools.snapshot(table);
        Path copy = with;
        byte[] edited;
        try {
            if (with == null) {
                String editor = System.getenv("VISUAL");
                if (editor == null || editor.isBlank()) {
                    editor = System.getenv("EDITOR");
                }
                if (editor == null || editor.isBlank()) {
                    throw new RefusedException("set VISUAL or EDITOR to the editor to use, or give --with FILE");
                }
                copy = Files.createTempFile(Path.of(table).getFileName() + ".edit-", ".txt");
                Files.write(copy, base);
                List<String> cmd = new ArrayList<>(Arrays.asList(editor.trim().split("\\s+")));
                cmd.add(copy.toString());
                int status = new ProcessBuilder(cmd).inheritIO().start().waitFor();
                if (status != 0) {
                    throw new RefusedException("the editor exited with status " + status
                            + "; the table is unchanged, the copy is at " + copy);
                }
            }
            edited = Files.readAllBytes(copy);
        } catch (IOException e) {
            throw new UncheckedIOException("cannot " + (with == null ? "edit a copy of " + table : "read " + with)
                    + ": " + e.getMessage(), e);
        } catch (InterruptedException e) {
            Thread.currentThread().interrupt();
            throw new RefusedException("interrupted; the table is unchanged");
        }
        if (Arrays.equals(base, edited)) {
            deleteOwn(copy, with);
            return null;
        }
        String[] findings = TableTools.checkContent(edited, copy.toString());
        long kept;
        try {
            if (findings.length > 0) {
                throw new RefusedException(String.join("\n", findings));
            }
            kept = TableTools.replace(table, base, edited);
        } catch (RuntimeException e) {
            throw new RefusedException(e.getMessage() + "\nthe edit is not applied; the edited copy is kept at " + copy);
        }
        deleteOwn(copy, with);
        return kept == 0 ? null : kept + (kept == 1 ? " row" : " rows") + " appended meanwhile kept after the edited rows";
    }

    private static void deleteOwn(Path copy, Path with) {
        if (with == null) {
            try {
                Files.deleteIfExists(copy);
            } catch (IOException e) {
                System.err.println("gameserver-dbiface: cannot remove " + copy + ": " + e.getMessage());
            }
        }
    }

    /**
     * Warns when a line longer than the line limit ends the table before the end of the
     * file: it and every line after it are hidden from every read.
     */
    static void warnHidden(String table) {
        long[] hidden = hiddenLines(Path.of(table));
        if (hidden != null) {
            System.err.println("gameserver-dbiface: warning: line " + hidden[0] + " of " + table + " is longer than "
                    + MAX_LINE + " bytes; it and the " + (hidden[1] - 1) + " lines after it are hidden from every read");
        }
    }

    static final int MAX_LINE = 99;

    /** The first over-long line (1 = the header) and how many lines it hides, or null. */
    static long[] hiddenLines(Path file) {
        try (java.io.InputStream in = new java.io.BufferedInputStream(Files.newInputStream(file), 1 << 16)) {
            long line = 1;
            long first = 0;
            int length = 0;
            boolean cr = false;  // a CR just before the LF belongs to the line end
            for (int b = in.read();; b = in.read()) {
                if (b == '\n' || b < 0) {
                    if (b < 0 && length == 0) break;
                    if (first == 0 && length - (cr && b == '\n' ? 1 : 0) > MAX_LINE) first = line;
                    if (b < 0) break;
                    line++;
                    length = 0;
                    cr = false;
                    continue;
                }
                length++;
                cr = b == '\r';
            }
            long lines = length == 0 ? line - 1 : line;
            return first == 0 ? null : new long[] {first, lines - first + 1};
        } catch (IOException e) {
            return null;  // the library reported what it could read
        }
    }

    static void expectArgs(String command, int got, int want) throws UsageException {
        if (got != want) {
            throw new UsageException(command + " takes " + want
                    + (want == 1 ? " argument" : " arguments") + ", got " + got);
        }
    }

    static int number(String text, String what) throws UsageException {
        try {
            return Integer.parseInt(text);
        } catch (NumberFormatException e) {
            throw new UsageException(what + " must be a whole number, got '" + text + "'");
        }
    }

    /**
     * Lays rows out as a table: a header of column names, then one line per row, columns
     * padded to their widest cell. Row text is split at "," and at the first "=" of each
     * pair; a piece without "=" continues the previous value, so values that hold a comma
     * (possible in a file edited by hand) stay whole.
     */
    static List<String> align(List<String> texts) {
        Map<String, Integer> columns = new LinkedHashMap<>();
        List<Map<String, String>> rows = new ArrayList<>();
        for (String text : texts) {
            Map<String, String> row = new LinkedHashMap<>();
            String last = null;
            for (String piece : text.isEmpty() ? new String[0] : text.split(",", -1)) {
                int eq = piece.indexOf('=');
                if (eq < 0 && last != null) {
                    row.put(last, row.get(last) + "," + piece);
                    continue;
                }
                last = eq < 0 ? piece : piece.substring(0, eq);
                row.put(last, eq < 0 ? "" : piece.substring(eq + 1));
                columns.putIfAbsent(last, columns.size());
            }
            rows.add(row);
        }
        List<String> names = new ArrayList<>(columns.keySet());
        int[] width = new int[names.size() + 1];
        width[0] = Math.max(1, Integer.toString(rows.size()).length());
        for (int c = 0; c < names.size(); c++) {
            width[c + 1] = length(names.get(c));
            for (Map<String, String> row : rows) {
                width[c + 1] = Math.max(width[c + 1], length(row.getOrDefault(names.get(c), "")));
            }
        }
        List<String> lines = new ArrayList<>();
        List<String> cells = new ArrayList<>();
        cells.add("#");
        cells.addAll(names);
        lines.add(layout(cells, width));
        for (int r = 0; r < rows.size(); r++) {
            cells.clear();
            cells.add(Integer.toString(r + 1));
            for (String name : names) {
                cells.add(rows.get(r).getOrDefault(name, ""));
            }
            lines.add(layout(cells, width));
        }
        return lines;
    }

    private static String layout(List<String> cells, int[] width) {
        StringBuilder b = new StringBuilder();
        for (int c = 0; c < cells.size(); c++) {
            String cell = cells.get(c);
            b.append(cell);
            if (c + 1 < cells.size()) {
                b.append(" ".repeat(width[c] - length(cell) + 2));
            }
        }
        return b.toString().stripTrailing();
    }

    /** Code point ranges a terminal shows two columns wide (East Asian wide, emoji). */
    private static final int[] WIDE = {
        0x1100, 0x115F, 0x231A, 0x231B, 0x2329, 0x232A, 0x23E9, 0x23EC, 0x23F0, 0x23F0,
        0x23F3, 0x23F3, 0x25FD, 0x25FE, 0x2614, 0x2615, 0x2648, 0x2653, 0x267F, 0x267F,
        0x2693, 0x2693, 0x26A1, 0x26A1, 0x26AA, 0x26AB, 0x26BD, 0x26BE, 0x26C4, 0x26C5,
        0x26CE, 0x26CE, 0x26D4, 0x26D4, 0x26EA, 0x26EA, 0x26F2, 0x26F3, 0x26F5, 0x26F5,
        0x26FA, 0x26FA, 0x26FD, 0x26FD, 0x2705, 0x2705, 0x270A, 0x270B, 0x2728, 0x2728,
        0x274C, 0x274C, 0x274E, 0x274E, 0x2753, 0x2755, 0x2757, 0x2757, 0x2795, 0x2797,
        0x27B0, 0x27B0, 0x27BF, 0x27BF, 0x2B1B, 0x2B1C, 0x2B50, 0x2B50, 0x2B55, 0x2B55,
        0x2E80, 0x303E, 0x3041, 0x33FF, 0x3400, 0x4DBF, 0x4E00, 0x9FFF, 0xA000, 0xA4CF,
        0xA960, 0xA97F, 0xAC00, 0xD7A3, 0xF900, 0xFAFF, 0xFE10, 0xFE19, 0xFE30, 0xFE6F,
        0xFF00, 0xFF60, 0xFFE0, 0xFFE6, 0x16FE0, 0x16FE4, 0x17000, 0x18CFF, 0x1B000, 0x1B2FF,
        0x1F004, 0x1F004, 0x1F0CF, 0x1F0CF, 0x1F18E, 0x1F18E, 0x1F191, 0x1F19A,
        0x1F200, 0x1F251, 0x1F300, 0x1F64F, 0x1F680, 0x1F6FF, 0x1F7E0, 0x1F7EB,
        0x1F90C, 0x1F9FF, 0x1FA70, 0x1FAFF, 0x20000, 0x3FFFD,
    };

    /** Columns a terminal gives the text: wide characters two, combining marks none. */
    static int length(String s) {
        int w = 0;
        for (int cp : s.codePoints().toArray()) {
            int type = Character.getType(cp);
            if (type == Character.NON_SPACING_MARK || type == Character.ENCLOSING_MARK
                    || type == Character.FORMAT) {
                continue;
            }
            boolean wide = false;
            for (int k = 0; k < WIDE.length && cp >= WIDE[k]; k += 2) {
                wide = cp <= WIDE[k + 1];
                if (wide) {
                    break;
                }
            }
            w += wide ? 2 : 1;
        }
        return w;
    }
}
