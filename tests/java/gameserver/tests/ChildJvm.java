package gameserver.tests;

import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.Comparator;
import java.util.List;
import java.util.Map;
import java.util.concurrent.TimeUnit;
import java.util.stream.Stream;

/**
 * Runs a child JVM (or a command wrapping one) in a directory and captures its output as
 * bytes: the library's trace lines go straight to fd 1, so only a separate process shows
 * them exactly.
 */
public final class ChildJvm {
    private ChildJvm() {}

    public record Result(int exit, byte[] outBytes, byte[] errBytes) {
        public String out() {
            return new String(outBytes, StandardCharsets.UTF_8);
        }

        public String err() {
            return new String(errBytes, StandardCharsets.UTF_8);
        }

        /** JNI check and native-access complaints: every child must be free of them. */
        public String warnings() {
            return out().contains("WARNING") || err().contains("WARNING")
                    ? "WARNING printed: " + this : null;
        }

        @Override
        public String toString() {
            return "exit " + exit + ", stdout " + show(out()) + ", stderr " + show(err());
        }
    }

    /**
     * Runs {@code cmd} in {@code dir} with a clean environment: no library path, no options
     * injected through JAVA_TOOL_OPTIONS and friends, a UTF-8 locale, and {@code env} on top
     * (a null value removes the variable).
     */
    public static Result run(List<String> cmd, Path dir, Map<String, String> env)
            throws IOException, InterruptedException {
        ProcessBuilder pb = new ProcessBuilder(cmd).directory(dir.toFile());
        Map<String, String> e = pb.environment();
        for (String v : List.of("LD_LIBRARY_PATH", "JAVA_TOOL_OPTIONS", "JDK_JAVA_OPTIONS",
                "_JAVA_OPTIONS", "CLASSPATH")) {
            e.remove(v);
        }
        e.put("LC_ALL", "C.UTF-8");
        for (Map.Entry<String, String> kv : env.entrySet()) {
            if (kv.getValue() == null) {
                e.remove(kv.getKey());
            } else {
                e.put(kv.getKey(), kv.getValue());
            }
        }
        Path out = Files.createTempFile("child", ".out");
        Path err = Files.createTempFile("child", ".err");
        try {
            Process p = pb.redirectOutput(out.toFile()).redirectError(err.toFile()).start();
            if (!p.waitFor(120, TimeUnit.SECONDS)) {
                p.destroyForcibly().waitFor();
                return new Result(-1, new byte[0],
                        "child timed out".getBytes(StandardCharsets.UTF_8));
            }
            return new Result(p.exitValue(), Files.readAllBytes(out), Files.readAllBytes(err));
        } finally {
            Files.deleteIfExists(out);
            Files.deleteIfExists(err);
        }
    }

    /** {@code java -Xcheck:jni ARGS...}. */
    public static List<String> java(String java, String... args) {
        List<String> cmd = new ArrayList<>();
        cmd.add(java);
        cmd.add("-Xcheck:jni");
        cmd.addAll(List.of(args));
        return cmd;
    }

    public static void deleteTree(Path dir) throws IOException {
        if (!Files.exists(dir)) {
            return;
        }
        try (Stream<Path> walk = Files.walk(dir)) {
            for (Path q : walk.sorted(Comparator.reverseOrder()).toList()) {
                q.toFile().setWritable(true);
                Files.delete(q);
            }
        }
    }

    /** Text quoted, control characters escaped. */
    public static String show(String s) {
        return quote(s, false);
    }

    /** Bytes quoted, every byte outside printable ASCII as \xNN. */
    public static String showBytes(byte[] b) {
        return quote(new String(b, StandardCharsets.ISO_8859_1), true);
    }

    private static String quote(String s, boolean asciiOnly) {
        StringBuilder b = new StringBuilder("\"");
        for (char c : s.toCharArray()) {
            switch (c) {
                case '\n' -> b.append("\\n");
                case '\r' -> b.append("\\r");
                case '\t' -> b.append("\\t");
                case '"', '\\' -> b.append('\\').append(c);
                default -> {
                    if (c >= 0x20 && c != 0x7f && (c < 0x7f || !asciiOnly)) {
                        b.append(c);
                    } else {
                        b.append(String.format("\\x%02X", (int) c));
                    }
                }
            }
        }
        return b.append('"').toString();
    }

    /** A system property the suite cannot run without. */
    public static String require(String property) {
        String v = System.getProperty(property);
        if (v == null || v.isEmpty()) {
            throw new IllegalStateException("set -D" + property);
        }
        return v;
    }

    /** The java executable for children: test.java, else this JVM's. */
    public static String javaExe() {
        return System.getProperty("test.java",
                Path.of(System.getProperty("java.home"), "bin", "java").toString());
    }
}
