package gameserver;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNotNull;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static org.junit.jupiter.api.Assertions.fail;

import java.io.IOException;
import java.io.InputStream;
import java.io.OutputStream;
import java.lang.reflect.Method;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.attribute.PosixFilePermissions;
import java.util.ArrayList;
import java.util.HashMap;
import java.util.List;
import java.util.Map;
import java.util.function.Function;
import java.util.function.Predicate;
import java.util.jar.JarEntry;
import java.util.jar.JarFile;
import java.util.jar.JarInputStream;
import java.util.jar.JarOutputStream;
import java.util.jar.Manifest;
import java.util.regex.Matcher;
import java.util.regex.Pattern;
import java.util.stream.Stream;
import javax.xml.parsers.DocumentBuilderFactory;
import javax.xml.xpath.XPath;
import javax.xml.xpath.XPathFactory;
import gameserver.dbiface.Table;
import gameserver.tests.ChildJvm;
import org.junit.jupiter.api.AfterAll;
import org.junit.jupiter.api.Assumptions;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.Named;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.MethodSource;
import org.w3c.dom.Document;

/**
 * Checks how the jar finds its native library: each case runs a program in a child JVM from an
 * empty directory, with only the jar on the class path unless the case says otherwise, and
 * checks which file the child mapped (from /proc/self/maps) or the error it got.
 *
 * <p>System properties: {@code test.java} (the JVM under test), {@code test.jar},
 * {@code test.libdir} (the build's library directory), {@code test.probe} (Probe.java),
 * {@code test.pom} (the build's pom), {@code test.notice} (the source tree's NOTICE).
 */
final class PackagingTest {
    static final String TABLE = "NAME|SCORE|DATE\nann|10|1/1/2020\n";
    static final String LIB = System.mapLibraryName(NativeLoader.NAME);

    static String javaExe;
    static String jar;
    static Path libDir;
    static String probe;
    static String hash;

    /** What one case sees: its scratch directory and a place for the table. */
    record Env(Path dir, Path work, Path tmp, Path home) {}

    record Case(String name, Function<Env, Setup> setup, Check check) {}

    /** The child's command and environment; null command: the case is skipped. */
    record Setup(List<String> cmd, Map<String, String> env) {}

    interface Check {
        String check(Env e, ChildJvm.Result r) throws IOException;
    }

    static final List<Case> CASES = new ArrayList<>();

    static void c(String name, Function<Env, Setup> setup, Check check) {
        CASES.add(new Case(name, setup, check));
    }

    /** Probe with only {@code classpath} on the class path and the given JVM options. */
    static Setup probe(Env e, String classpath, Map<String, String> env, String... opts) {
        List<String> cmd = ChildJvm.java(javaExe, "--enable-native-access=ALL-UNNAMED",
                "-Djava.io.tmpdir=" + e.tmp(), "-Duser.home=" + e.home());
        cmd.addAll(List.of(opts));
        cmd.addAll(List.of("-cp", classpath, probe, "t.txt"));
        Map<String, String> all = new HashMap<>(env);
        all.putIfAbsent("HOME", e.home().toString());
        all.putIfAbsent("XDG_CACHE_HOME", null);
        return new Setup(cmd, all);
    }

    static Setup probe(Env e, String... opts) {
        return probe(e, jar, Map.of(), opts);
    }

    /** The probe ran, appended its row and mapped exactly one library, matching {@code where}. */
    static String loadedFrom(ChildJvm.Result r, Pattern where) {
        if (r.exit() != 0) {
            return "probe failed: " + r;
        }
        if (!r.out().contains("rows: 2\nlast: NAME=probe,SCORE=1,DATE=12/8/2026\n")) {
            return "probe did not read back its row: " + r;
        }
        List<String> loaded = new ArrayList<>();
        Matcher m = Pattern.compile("(?m)^loaded: (.*)$").matcher(r.out());
        while (m.find()) {
            loaded.add(m.group(1));
        }
        if (loaded.size() != 1) {
            return "expected one mapped library, got " + loaded;
        }
        return where.matcher(loaded.get(0)).matches() ? null
                : "mapped " + loaded.get(0) + ", expected " + where.pattern();
    }

    /** A fresh extracted copy in {@code dir}, already unlinked. */
    static Pattern extractedIn(Path dir) {
        String base = LIB.substring(0, LIB.lastIndexOf('.'));
        return Pattern.compile(Pattern.quote(dir + "/" + base + "-" + hash.substring(0, 16) + "-")
                + "[0-9]+" + Pattern.quote(".so (deleted)"));
    }

    static Pattern exactly(Path file) {
        return Pattern.compile(Pattern.quote(file.toString()));
    }

    static String all(String... problems) {
        for (String p : problems) {
            if (p != null) {
                return p;
            }
        }
        return null;
    }

    static String emptyDir(Path dir) throws IOException {
        if (!Files.isDirectory(dir)) {
            return dir + " is not a directory";
        }
        try (var s = Files.list(dir)) {
            List<Path> left = s.toList();
            return left.isEmpty() ? null : "left behind: " + left;
        }
    }

    static String ownerOnly(Path dir) throws IOException {
        String perms = PosixFilePermissions.toString(Files.getPosixFilePermissions(dir));
        return perms.equals("rwx------") ? null : dir + " has permissions " + perms;
    }

    static String errorNames(ChildJvm.Result r, String... parts) {
        if (r.exit() == 0 || !r.err().contains("java.lang.UnsatisfiedLinkError")) {
            return "expected UnsatisfiedLinkError, got " + r;
        }
        for (String p : parts) {
            if (!r.err().contains(p)) {
                return "error does not name " + p + ": " + r;
            }
        }
        return null;
    }

    static Path noNativeJar;
    static Path shadedJar;

    static {
        c("only the jar on the class path: bundled copy extracted to java.io.tmpdir",
                e -> probe(e),
                (e, r) -> all(loadedFrom(r, extractedIn(e.tmp())), emptyDir(e.tmp())));

        c("java -jar from an empty directory: the manifest enables native access",
                e -> new Setup(ChildJvm.java(javaExe, "-Djava.io.tmpdir=" + e.tmp(),
                        "-jar", jar, "t.txt", "count"), Map.of("HOME", e.home().toString())),
                (e, r) -> r.exit() == 0 && r.out().equals("1\n") && r.err().isEmpty()
                        ? emptyDir(e.tmp()) : "java -jar count: " + r);

        c("system property wins over java.library.path and the jar",
                e -> {
                    try {
                        Files.copy(libDir.resolve(LIB), e.dir().resolve(LIB));
                    } catch (IOException x) {
                        throw new java.io.UncheckedIOException(x);
                    }
                    return probe(e, "-D" + NativeLoader.PROPERTY + "=" + e.dir().resolve(LIB),
                            "-Djava.library.path=" + libDir);
                },
                (e, r) -> loadedFrom(r, exactly(e.dir().resolve(LIB))));

        c("relative system property is taken from the working directory",
                e -> {
                    try {
                        Files.createDirectory(e.work().resolve("sub"));
                        Files.copy(libDir.resolve(LIB), e.work().resolve("sub").resolve(LIB));
                    } catch (IOException x) {
                        throw new java.io.UncheckedIOException(x);
                    }
                    return probe(e, "-D" + NativeLoader.PROPERTY + "=sub/" + LIB);
                },
                (e, r) -> loadedFrom(r, exactly(e.work().resolve("sub").resolve(LIB))));

        c("java.library.path wins over the jar",
                e -> probe(e, "-Djava.library.path=" + libDir),
                (e, r) -> loadedFrom(r, exactly(libDir.resolve(LIB))));

        c("system property naming a missing file falls through to the jar",
                e -> probe(e, "-D" + NativeLoader.PROPERTY + "=" + e.dir().resolve("missing.so")),
                (e, r) -> loadedFrom(r, extractedIn(e.tmp())));

        c("read-only java.io.tmpdir falls back to ~/.cache, created owner-only",
                e -> mounted(e, "ro", probe(e)),
                (e, r) -> {
                    Path cache = e.home().resolve(".cache/gameserver-dbiface");
                    return all(loadedFrom(r, extractedIn(cache)), emptyDir(cache), ownerOnly(cache));
                });

        c("noexec java.io.tmpdir falls back to ~/.cache",
                e -> mounted(e, "noexec", probe(e)),
                (e, r) -> {
                    Path cache = e.home().resolve(".cache/gameserver-dbiface");
                    return all(loadedFrom(r, extractedIn(cache)), emptyDir(cache));
                });

        c("XDG_CACHE_HOME is the cache directory when set",
                e -> mounted(e, "noexec", probe(e, jar,
                        Map.of("XDG_CACHE_HOME", e.dir().resolve("xdg").toString()))),
                (e, r) -> loadedFrom(r, extractedIn(e.dir().resolve("xdg/gameserver-dbiface"))));

        c("every way failing: the error names each place tried",
                e -> {
                    try {
                        Files.delete(e.home());
                        Files.writeString(e.home(), "a file, so no cache directory below it");
                    } catch (IOException x) {
                        throw new java.io.UncheckedIOException(x);
                    }
                    return mounted(e, "noexec", probe(e,
                            "-D" + NativeLoader.PROPERTY + "=/nonexistent/x.so",
                            "-Djava.library.path=/nonexistent/a:/nonexistent/b"));
                },
                (e, r) -> errorNames(r, NativeLoader.PROPERTY + "=/nonexistent/x.so",
                        "/nonexistent/a/" + LIB, "/nonexistent/b/" + LIB,
                        NativeLoader.resourceName(), "extracted to " + e.tmp() + "/",
                        "extracted to " + e.home().resolve(".cache/gameserver-dbiface")));

        c("a shaded jar with the application's manifest: the CLI still names its version",
                e -> new Setup(ChildJvm.java(javaExe, "-cp", shadedJar.toString(), "gameserver.Cli",
                        "--help"), Map.of()),
                (e, r) -> r.exit() == 0 && r.out().startsWith("usage: java -jar gameserver-dbiface-"
                        + manifestVersion() + ".jar ") ? null : "Cli --help: " + r);

        c("a jar without the bundled copy says so",
                e -> probe(e, noNativeJar.toString(), Map.of(),
                        "-D" + NativeLoader.PROPERTY + "=/nonexistent/x.so"),
                (e, r) -> errorNames(r, NativeLoader.PROPERTY + "=/nonexistent/x.so",
                        "java.library.path", NativeLoader.resourceName() + " (not in the jar)"));
    }

    /**
     * Runs the child with a fresh tmpfs mounted with {@code opts} over its java.io.tmpdir, in a
     * private mount namespace that vanishes with it. Null command (skip) where that is not
     * allowed, e.g. without root.
     */
    static Setup mounted(Env e, String opts, Setup s) {
        if (!unshareWorks()) {
            return new Setup(null, null);
        }
        List<String> cmd = new ArrayList<>(List.of("unshare", "-m", "sh", "-c",
                "mount -t tmpfs -o " + opts + ",mode=700 tmpfs \"$0\" && exec \"$@\"",
                e.tmp().toString()));
        cmd.addAll(s.cmd());
        return new Setup(cmd, s.env());
    }

    static Boolean unshare;

    static synchronized boolean unshareWorks() {
        if (unshare == null) {
            try {
                Path d = Files.createTempDirectory("unshare");
                ChildJvm.Result r = ChildJvm.run(List.of("unshare", "-m", "sh", "-c",
                        "mount -t tmpfs -o noexec tmpfs \"$0\"", d.toString()), d, Map.of());
                unshare = r.exit() == 0;
                Files.delete(d);
            } catch (IOException | InterruptedException x) {
                unshare = false;
            }
        }
        return unshare;
    }

    /** The extracted file: owner-only, named after the content hash, holding the content. */
    static String checkExtract() throws IOException {
        Path dir = Files.createTempDirectory("extract");
        try {
            byte[] image = "not really a library".getBytes(StandardCharsets.UTF_8);
            Path sub = dir.resolve("made/by/loader");
            NativeLoader.privateDir(sub);
            Path f = NativeLoader.extract(image, sub);
            String perms = PosixFilePermissions.toString(Files.getPosixFilePermissions(f));
            String name = f.getFileName().toString();
            String want = LIB.substring(0, LIB.lastIndexOf('.')) + "-"
                    + NativeLoader.sha256(image).substring(0, 16) + "-";
            Path g = NativeLoader.extract(image, sub);
            return all(perms.equals("rw-------") ? null : "extracted file has " + perms,
                    name.startsWith(want) && name.endsWith(".so") ? null : "name " + name,
                    java.util.Arrays.equals(Files.readAllBytes(f), image) ? null : "content differs",
                    f.equals(g) ? "two extractions share " + f : null,
                    ownerOnly(sub));
        } finally {
            ChildJvm.deleteTree(dir);
        }
    }

    /** Copies the jar without its native libraries. */
    static Path stripNative(Path from, Path to) throws IOException {
        return repack(from, to, null,
                name -> !name.startsWith(NativeLoader.RESOURCE_DIR.substring(1)));
    }

    /** Copies the entries {@code keep} accepts, under {@code manifest} (null: the jar's own). */
    static Path repack(Path from, Path to, Manifest manifest, Predicate<String> keep)
            throws IOException {
        try (InputStream in = Files.newInputStream(from);
                JarInputStream jin = new JarInputStream(in);
                OutputStream out = Files.newOutputStream(to);
                JarOutputStream jout = new JarOutputStream(out,
                        manifest != null ? manifest : jin.getManifest())) {
            for (JarEntry en = jin.getNextJarEntry(); en != null; en = jin.getNextJarEntry()) {
                if (keep.test(en.getName())) {
                    jout.putNextEntry(new JarEntry(en.getName()));
                    jin.transferTo(jout);
                    jout.closeEntry();
                }
            }
        }
        return to;
    }

    static Path scratch;

    @BeforeAll
    static void setUp() throws IOException {
        javaExe = ChildJvm.require("test.java");
        jar = Path.of(ChildJvm.require("test.jar")).toAbsolutePath().toString();
        libDir = Path.of(ChildJvm.require("test.libdir")).toAbsolutePath();
        probe = Path.of(ChildJvm.require("test.probe")).toAbsolutePath().toString();
        try (JarFile jf = new JarFile(jar)) {
            JarEntry en = jf.getJarEntry(NativeLoader.resourceName().substring(1));
            assertNotNull(en, "the jar holds no " + NativeLoader.resourceName());
            try (InputStream in = jf.getInputStream(en)) {
                hash = NativeLoader.sha256(in.readAllBytes());
            }
        }
        scratch = Files.createTempDirectory("dbiface-packaging");
        noNativeJar = stripNative(Path.of(jar), scratch.resolve("no-native.jar"));
        // What a shading plugin writes by default: the application's manifest, not ours.
        Manifest app = new Manifest();
        app.getMainAttributes().putValue("Manifest-Version", "1.0");
        app.getMainAttributes().putValue("Main-Class", "app.Main");
        shadedJar = repack(Path.of(jar), scratch.resolve("shaded.jar"), app, name -> true);
    }

    static String manifestVersion() {
        try (JarFile jf = new JarFile(jar)) {
            return jf.getManifest().getMainAttributes().getValue("Implementation-Version");
        } catch (IOException e) {
            throw new java.io.UncheckedIOException(e);
        }
    }

    @AfterAll
    static void tearDown() throws IOException {
        if (scratch != null) {
            ChildJvm.deleteTree(scratch);
        }
    }

    static void check(String problem) {
        if (problem != null) {
            fail(problem);
        }
    }

    @Test
    void extraction() throws IOException {
        check(checkExtract());
    }

    @Test
    void versionIsTheSameInTheManifestTheClassesAndTheNativeLibrary() throws Exception {
        String v = manifestVersion();
        assertNotNull(v, "the manifest has no Implementation-Version");
        assertEquals(v, Table.version());
        assertEquals(v, Version.VERSION);
        Method nativeVersion = DBIface.class.getDeclaredMethod("nativeVersion");
        nativeVersion.setAccessible(true);
        assertEquals(v, nativeVersion.invoke(null));
    }

    @Test
    void jarCarriesTheLicenseAndTheNotice() throws IOException {
        try (JarFile jf = new JarFile(jar)) {
            for (String name : List.of("META-INF/LICENSE", "META-INF/NOTICE")) {
                assertNotNull(jf.getJarEntry(name), "the jar holds no " + name);
            }
            try (InputStream in = jf.getInputStream(jf.getJarEntry("META-INF/NOTICE"))) {
                assertArrayEquals(Files.readAllBytes(Path.of(ChildJvm.require("test.notice"))),
                        in.readAllBytes(), "META-INF/NOTICE differs from the source tree's");
            }
        }
    }

    /** The elements a public Maven repository refuses a pom without, filled in. */
    @Test
    void pomHasWhatAPublicRepositoryRequires() throws Exception {
        Document pom = DocumentBuilderFactory.newInstance().newDocumentBuilder()
                .parse(Path.of(ChildJvm.require("test.pom")).toFile());
        XPath x = XPathFactory.newInstance().newXPath();
        assertEquals(manifestVersion(), x.evaluate("/project/version", pom));
        assertEquals("Apache-2.0", x.evaluate("/project/licenses/license/name", pom));
        assertTrue(x.evaluate("/project/scm/connection", pom).startsWith("scm:git:"));
        for (String e : List.of("groupId", "artifactId", "name", "description", "url",
                "licenses/license/url", "developers/developer/name", "scm/developerConnection",
                "scm/url")) {
            String t = x.evaluate("/project/" + e, pom).trim();
            assertTrue(!t.isEmpty() && !t.contains("@"), e + " is \"" + t + "\"");
        }
    }

    static Stream<Named<Case>> cases() {
        assertTrue(CASES.size() > 0);
        return CASES.stream().map(k -> Named.of(k.name(), k));
    }

    @ParameterizedTest(name = "{0}")
    @MethodSource("cases")
    void loads(Case k) throws IOException, InterruptedException {
        Path dir = Files.createDirectory(scratch.resolve("case" + CASES.indexOf(k)));
        Env e = new Env(dir, Files.createDirectory(dir.resolve("work")),
                Files.createDirectory(dir.resolve("tmp")),
                Files.createDirectory(dir.resolve("home")));
        Files.writeString(e.work().resolve("t.txt"), TABLE);
        Setup s = k.setup().apply(e);
        Assumptions.assumeTrue(s.cmd() != null, "no private mounts here (needs root)");
        ChildJvm.Result r = ChildJvm.run(s.cmd(), e.work(), s.env());
        check(all(r.warnings(), k.check().check(e, r)));
    }
}
