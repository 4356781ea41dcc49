#!/usr/bin/env bash
# maven-consumer.sh REPO [JAVA [JAVA24]]
# A new user's project: a pom naming gameserver:gameserver-dbiface (and its sources and
# javadoc jars), built with Maven offline against the file repository REPO (tools/package.sh)
# and Debian's packaged Maven plugins, then run with JAVA on a real table from an empty
# directory; and its fat jar as docs/packaging.md shades it, run with java -jar under JAVA
# and under JAVA24 (a JDK 24+, which warns when the manifest lost Enable-Native-Access;
# default: the JDK 25 tools/test.sh uses, left out when not installed).
set -euo pipefail
repo=$(readlink -f "$1")
java=${2:-java}
java24=${3:-/usr/lib/jvm/temurin-25-jdk-amd64/bin/java}
version=$(sed -n 's:.*<release>\(.*\)</release>.*:\1:p' "$repo/gameserver/gameserver-dbiface/maven-metadata.xml")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/app/src/main/java/app" "$work/run"

# Plugins come from Debian's repository; everything else from REPO. Offline, Maven reads
# file:// repositories only when told that protocol is local.
cat > "$work/settings.xml" <<XML
<settings>
  <localRepository>$work/m2</localRepository>
  <mirrors>
    <mirror><id>debian</id><mirrorOf>central</mirrorOf><url>file:///usr/share/maven-repo</url></mirror>
  </mirrors>
</settings>
XML
cat > "$work/app/pom.xml" <<XML
<project xmlns="http://maven.apache.org/POM/4.0.0">
  <modelVersion>4.0.0</modelVersion>
  <groupId>app</groupId>
  <artifactId>consumer</artifactId>
  <version>1</version>
  <properties>
    <project.build.sourceEncoding>UTF-8</project.build.sourceEncoding>
  </properties>
  <repositories>
    <repository><id>gameserver-files</id><url>file://$repo</url></repository>
  </repositories>
  <dependencies>
    <dependency>
      <groupId>gameserver</groupId>
      <artifactId>gameserver-dbiface</artifactId>
      <version>$version</version>
    </dependency>
    <!-- resolving these checks that the sources and javadoc jars were deployed -->
    <dependency>
      <groupId>gameserver</groupId><artifactId>gameserver-dbiface</artifactId>
      <version>$version</version><classifier>sources</classifier><scope>provided</scope>
    </dependency>
    <dependency>
      <groupId>gameserver</groupId><artifactId>gameserver-dbiface</artifactId>
      <version>$version</version><classifier>javadoc</classifier><scope>provided</scope>
    </dependency>
  </dependencies>
  <build>
    <plugins>
      <plugin><artifactId>maven-resources-plugin</artifactId><version>3.3.0</version></plugin>
      <plugin>
        <artifactId>maven-compiler-plugin</artifactId><version>3.10.1</version>
        <configuration><release>17</release></configuration>
      </plugin>
      <plugin><artifactId>maven-jar-plugin</artifactId><version>3.3.0</version></plugin>
      <!-- the fat jar of docs/packaging.md, beside the plain one as consumer-1-all.jar -->
      <plugin>
        <artifactId>maven-shade-plugin</artifactId><version>3.4.1</version>
        <executions><execution>
          <phase>package</phase><goals><goal>shade</goal></goals>
          <configuration>
            <shadedArtifactAttached>true</shadedArtifactAttached>
            <shadedClassifierName>all</shadedClassifierName>
            <transformers>
              <transformer implementation="org.apache.maven.plugins.shade.resource.ManifestResourceTransformer">
                <mainClass>app.Main</mainClass>
                <manifestEntries>
                  <Enable-Native-Access>ALL-UNNAMED</Enable-Native-Access>
                  <Implementation-Version>\${project.version}</Implementation-Version>
                </manifestEntries>
              </transformer>
              <transformer implementation="org.apache.maven.plugins.shade.resource.ApacheNoticeResourceTransformer"/>
            </transformers>
          </configuration>
        </execution></executions>
      </plugin>
      <!-- no tests here, and Debian's Maven repository lacks surefire -->
      <plugin>
        <artifactId>maven-surefire-plugin</artifactId><version>2.22.3</version>
        <executions><execution><id>default-test</id><phase>none</phase></execution></executions>
      </plugin>
    </plugins>
  </build>
</project>
XML
cat > "$work/app/src/main/java/app/Main.java" <<'JAVA'
package app;

import gameserver.DBIface;
import gameserver.dbiface.Table;

public class Main {
    public static void main(String[] args) {
        DBIface.init(args[0]);
        DBIface.writeRow("NAME=ann, SCORE=10, DATE=1/1/2020");
        DBIface.writeRow("NAME=cid, SCORE=30, DATE=3/3/2020");
        DBIface.writeRowToLine("NAME=bob, SCORE=20, DATE=2/2/2020", 2);
        StringBuilder out = new StringBuilder("consumer:");
        for (int i = 1; i <= DBIface.getNumRows(); i++) {
            out.append(' ').append(DBIface.getRow(i));
        }
        System.out.println(out);
        System.out.println("version: " + Table.version());
    }
}
JAVA

(cd "$work/app" && mvn -o -B -q -Dstyle.color=never -s "$work/settings.xml" -Daether.offline.protocols=file package)
dep=$work/m2/gameserver/gameserver-dbiface/$version/gameserver-dbiface-$version.jar
cmp "$dep" "$repo/gameserver/gameserver-dbiface/$version/gameserver-dbiface-$version.jar"
printf 'NAME|SCORE|DATE\n' > "$work/run/scores.txt"
out=$(cd "$work/run" && "$java" -Xcheck:jni --enable-native-access=ALL-UNNAMED \
  -cp "$work/app/target/consumer-1.jar:$dep" app.Main "$work/run/scores.txt" 2>&1)
want="consumer: NAME=ann,SCORE=10,DATE=1/1/2020 NAME=bob,SCORE=20,DATE=2/2/2020 NAME=cid,SCORE=30,DATE=3/3/2020"
table=$(cat "$work/run/scores.txt")
if ! grep -qxF "$want" <<< "$out" || grep -q WARNING <<< "$out" \
    || [ "$table" != $'NAME|SCORE|DATE\nann|10|1/1/2020\nbob|20|2/2/2020\ncid|30|3/3/2020' ]; then
  echo "FAIL the consumer built against $repo printed:"
  echo "$out"
  echo "and left the table:"
  echo "$table"
  echo "0 passed, 1 failed"
  exit 1
fi
echo "ok   Maven built the consumer offline against gameserver:gameserver-dbiface:$version; it ran"

# The fat jar alone, from an empty directory: the library's version from its classes, no
# native-access warning, and the NOTICE kept.
fat=$work/app/target/consumer-1-all.jar
failed=0
for j in "$java" "$java24"; do
  [ "$j" = "$java24" ] && [ ! -x "$j" ] && { echo "SKIP: $j is not installed"; continue; }
  printf 'NAME|SCORE|DATE\n' > "$work/run/fat.txt"
  out=$(cd "$work/run" && "$j" -Xcheck:jni -jar "$fat" "$work/run/fat.txt" 2>&1) || true
  if ! grep -qxF "$want" <<< "$out" || ! grep -qxF "version: $version" <<< "$out" \
      || grep -q WARNING <<< "$out"; then
    echo "FAIL java -jar on the shaded consumer under $j printed:"
    echo "$out"
    failed=1
  fi
done
# The manifest's version is the application's (1) now; the CLI names the library's.
usage=$("$java" -cp "$fat" gameserver.Cli --help 2>&1 || true)
if [[ "$usage" != "usage: java -jar gameserver-dbiface-$version.jar "* ]]; then
  echo "FAIL the CLI in the shaded jar printed: $usage"
  failed=1
fi
notice=$(unzip -p "$dep" META-INF/NOTICE)
copyright=$(grep '^Copyright' <<< "$notice" || true)
if [ -z "$copyright" ] || ! grep -qxF "$copyright" <<< "$(unzip -p "$fat" META-INF/NOTICE)"; then
  echo "FAIL the shaded jar's META-INF/NOTICE lacks '$copyright'"
  failed=1
fi
if [ "$failed" = 1 ]; then
  echo "1 passed, 1 failed"
  exit 1
fi
echo "ok   the shaded consumer ran with java -jar: version $version (also in the CLI's usage), no warning, NOTICE kept"
echo "2 passed, 0 failed"
