import java.io.IOException;
import java.io.RandomAccessFile;
import java.io.UncheckedIOException;
import java.nio.ByteBuffer;
import java.nio.channels.FileChannel;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.NoSuchFileException;
import java.nio.file.Path;
import java.nio.file.StandardOpenOption;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.Objects;

/**
 * The table calls written the plain way in Java, as the peer the native library is
 * measured against: every call re-reads the file with java.nio into lines, splits the
 * lines it needs on '|' and renders COLUMN=value pairs; an append goes through
 * Files.write(APPEND), an insertion through RandomAccessFile. Same results and refusals
 * as the library, but no trace lines and no locking.
 */
public final class PurePeer {
    static final int MAX_LINE = 99;
    static final int MAX_FIELDS = 10;
    static final int MAX_VALUE = 199;

    private Path path;

    public void init(String file) {
        path = Path.of(Objects.requireNonNull(file, "path"));
    }

    public int getNumRows() {
        return Math.max(0, lines().size() - 1);
    }

    /** Data row {@code index} (1-based) as COLUMN=value pairs; empty when out of range. */
    public String getRow(int index) {
        List<String> lines = lines();
        if (index < 1 || index >= lines.size()) {
            return "";
        }
        String[] header = splitLine(lines.get(0));
        String[] row = splitLine(lines.get(index));
        StringBuilder out = new StringBuilder(64);
        for (int j = 0; j < row.length; j++) {
            if (j > 0) {
                out.append(',');
            }
            out.append(j < header.length ? header[j] : "").append('=').append(row[j]);
        }
        return out.toString();
    }

    public void writeRow(String text) {
        Objects.requireNonNull(text, "text");
        Path p = requirePath();
        byte[] head = new byte[MAX_LINE + 2];
        int headLen = 0;
        boolean endsWithLf = true;
        boolean exists = true;
        try (FileChannel ch = FileChannel.open(p, StandardOpenOption.READ)) {
            headLen = Math.max(0, ch.read(ByteBuffer.wrap(head), 0));
            long size = ch.size();
            if (size > 0) {
                ByteBuffer last = ByteBuffer.allocate(1);
                ch.read(last, size - 1);
                endsWithLf = last.get(0) == '\n';
            }
        } catch (NoSuchFileException e) {
            exists = false;
        } catch (IOException e) {
            throw new UncheckedIOException(e);
        }
        String[] header = exists
                ? splitLine(head, 0, firstLineLength(head, headLen))
                : new String[0];
        String[] values = parseRecord(text, header);
        try {
            if (values.length == 0) {
                if (!exists) {
                    Files.write(p, new byte[0],
                            StandardOpenOption.CREATE, StandardOpenOption.APPEND);
                }
                return;
            }
            byte[] line = rowLine(values, !endsWithLf);
            Files.write(p, line, StandardOpenOption.APPEND);
        } catch (IOException e) {
            throw new UncheckedIOException(e);
        }
    }

    /** Inserts the record so that it becomes line {@code line} of the file (header = 0). */
    public void writeRowToLine(String text, int line) {
        Objects.requireNonNull(text, "text");
        Path p = requirePath();
        if (!Files.exists(p)) {
            // No header, so every key is unknown; and no line to insert at.
            parseRecord(text, new String[0]);
            throw new IndexOutOfBoundsException("line " + line + " of a missing table");
        }
        try (RandomAccessFile f = new RandomAccessFile(p.toFile(), "rw")) {
            byte[] data = new byte[(int) f.length()];
            f.readFully(data);
            String[] header = splitLine(data, 0, firstLineLength(data, data.length));
            String[] values = parseRecord(text, header);
            byte[] row = values.length == 0 ? null : rowLine(values, false);
            int pos = line < 1 ? -1 : positionOfLine(data, line);
            if (pos < 0) {
                throw new IndexOutOfBoundsException(
                        "line " + line + " is not in 1 to the line after the last");
            }
            if (row == null) {
                return;
            }
            boolean joinsLast =
                    pos == data.length && data.length > 0 && data[data.length - 1] != '\n';
            f.seek(pos);
            f.write(joinsLast ? rowLine(values, true) : row);
            f.write(data, pos, data.length - pos);
        } catch (IOException e) {
            throw new UncheckedIOException(e);
        }
    }

    private Path requirePath() {
        if (path == null) {
            throw new IllegalStateException("init has not been called");
        }
        return path;
    }

    /** The lines of the file, header first, up to the first line over the limit. */
    private List<String> lines() {
        byte[] data;
        try {
            data = Files.readAllBytes(requirePath());
        } catch (NoSuchFileException e) {
            data = new byte[0];
        } catch (IOException e) {
            throw new UncheckedIOException(e);
        }
        List<String> lines = new ArrayList<>();
        int pos = 0;
        while (pos < data.length) {
            int end = pos;
            while (end < data.length && data[end] != '\n') {
                end++;
            }
            int visible = visibleLength(data, pos, end);
            if (visible > MAX_LINE) {
                break;
            }
            lines.add(new String(data, pos, visible, StandardCharsets.UTF_8));
            pos = end + 1;
        }
        return lines;
    }

    /**
     * Length of the line from {@code from} to its LF at {@code end}; a CR directly before
     * the LF belongs to the line end.
     */
    private static int visibleLength(byte[] d, int from, int end) {
        int n = end - from;
        return n > 0 && end < d.length && d[end - 1] == '\r' ? n - 1 : n;
    }

    private static int firstLineLength(byte[] d, int len) {
        int end = 0;
        while (end < len && d[end] != '\n') {
            end++;
        }
        return Math.min(end < len ? visibleLength(d, 0, end) : end, MAX_LINE);
    }

    /** Byte offset where line {@code line} starts, or -1 when the file has fewer lines. */
    private static int positionOfLine(byte[] d, int line) {
        int pos = 0;
        for (int i = 0; i < line; i++) {
            if (pos >= d.length) {
                return -1;
            }
            int end = pos;
            while (end < d.length && d[end] != '\n') {
                end++;
            }
            if (visibleLength(d, pos, end) > MAX_LINE) {
                return -1;
            }
            pos = Math.min(end + 1, d.length);
        }
        return pos;
    }

    static String[] splitLine(byte[] d, int from, int end) {
        return splitLine(new String(d, from, end - from, StandardCharsets.UTF_8));
    }

    /** Fields of a line: trimmed, at most 10, a '|' at the very end adds no empty one. */
    static String[] splitLine(String line) {
        List<String> fields = new ArrayList<>(4);
        int pos = 0;
        while (pos < line.length() && fields.size() < MAX_FIELDS) {
            int bar = line.indexOf('|', pos);
            if (bar < 0) {
                bar = line.length();
            }
            fields.add(trim(line.substring(pos, bar)));
            pos = bar + 1;
        }
        return fields.toArray(new String[0]);
    }

    /** Removes space, tab and line feed at both ends; a carriage return stays. */
    static String trim(String s) {
        int b = 0;
        int e = s.length();
        while (b < e && isBlank(s.charAt(b))) {
            b++;
        }
        while (e > b && isBlank(s.charAt(e - 1))) {
            e--;
        }
        return s.substring(b, e);
    }

    private static boolean isBlank(char c) {
        return c == ' ' || c == '\t' || c == '\n';
    }

    /**
     * Parses KEY=VALUE pairs against the header into values in column order.
     *
     * @throws IllegalArgumentException when the record cannot be placed in the table
     */
    static String[] parseRecord(String text, String[] header) {
        int length = text.length();
        int lastComma = text.lastIndexOf(',');
        String[] slots = new String[MAX_FIELDS];
        int pairs = 0;
        int start = 0;
        int end = 0;
        while (end < length) {
            end = start < lastComma ? text.indexOf(',', start) : length;
            String pair = trim(text.substring(start, end));
            start = end + 1;
            int eq = pair.indexOf('=');
            String key = trim(eq < 0 ? pair : pair.substring(0, eq));
            String value = trim(eq < 0 ? pair : pair.substring(eq + 1));
            int column = Arrays.asList(header).indexOf(key);
            if (column < 0) {
                throw new IllegalArgumentException("no column named \"" + key + "\"");
            }
            if (slots[column] != null) {
                throw new IllegalArgumentException("column " + key + " given twice");
            }
            if (++pairs > MAX_FIELDS) {
                throw new IllegalArgumentException("more than " + MAX_FIELDS + " pairs");
            }
            if (value.getBytes(StandardCharsets.UTF_8).length > MAX_VALUE) {
                throw new IllegalArgumentException("value of " + key + " is too long");
            }
            if (value.indexOf('|') >= 0 || value.indexOf('\n') >= 0 || value.indexOf('\0') >= 0) {
                throw new IllegalArgumentException("value of " + key + " holds '|', LF or NUL");
            }
            slots[column] = value;
        }
        for (int k = 0; k < pairs; k++) {
            if (slots[k] == null) {
                throw new IllegalArgumentException("column " + header[k] + " is missing");
            }
        }
        return Arrays.copyOf(slots, pairs);
    }

    /** The row line with its LF, preceded by an LF when it must not join the last line. */
    static byte[] rowLine(String[] values, boolean leadingLf) {
        String joined = String.join("|", values);
        byte[] body = joined.getBytes(StandardCharsets.UTF_8);
        if (body.length > MAX_LINE) {
            throw new IllegalArgumentException("row line longer than " + MAX_LINE + " characters");
        }
        int lead = leadingLf ? 1 : 0;
        byte[] out = new byte[body.length + lead + 1];
        if (leadingLf) {
            out[0] = '\n';
        }
        System.arraycopy(body, 0, out, lead, body.length);
        out[out.length - 1] = '\n';
        return out;
    }
}
